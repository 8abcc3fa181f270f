#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace quillbox {

// The application's information dictionary: entry name to text.
using InfoDictionary = std::map<std::string, std::string>;

// The application's name, version and title, read from its information dictionary.
class AppInfo {
 public:
  // mainBundleInfo gives the dictionary, or nothing when the app has none. It is asked once
  // for each value, on that value's first use.
  explicit AppInfo(std::function<std::optional<InfoDictionary>()> mainBundleInfo);

  // The entry "CFBundleName"; "" when the dictionary or the entry is missing. Read once, on
  // first use (once only, even when several threads ask at once), and never changes after.
  std::string appName();
  // The entry "CFBundleShortVersionString", read the same way.
  std::string appVersion();
  // appName, one space, appVersion: " 1.0" with no name, " " with neither.
  std::string appTitle();

 private:
  std::string entry(const char* name);

  std::function<std::optional<InfoDictionary>()> mainBundleInfo_;
  std::once_flag nameOnce_;
  std::once_flag versionOnce_;
  std::string name_;
  std::string version_;
};

// The app's own information, compiled in: "CFBundleName" "Quillbox" and
// "CFBundleShortVersionString" the build's version.
AppInfo& mainAppInfo();

// The title every screen shows in its navigation bar: mainAppInfo().appTitle().
std::string appTitle();

}  // namespace quillbox
