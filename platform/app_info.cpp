#include "platform/app_info.h"

#include "platform/app_info_values.h"

namespace quillbox {

AppInfo::AppInfo(std::function<std::optional<InfoDictionary>()> mainBundleInfo)
    : mainBundleInfo_(std::move(mainBundleInfo)) {}

std::string AppInfo::entry(const char* name) {
  std::optional<InfoDictionary> info = mainBundleInfo_ ? mainBundleInfo_() : std::nullopt;
  if (!info) return "";
  auto found = info->find(name);
  return found == info->end() ? "" : found->second;
}

std::string AppInfo::appName() {
  std::call_once(nameOnce_, [this] { name_ = entry("CFBundleName"); });
  return name_;
}

std::string AppInfo::appVersion() {
  std::call_once(versionOnce_, [this] { version_ = entry("CFBundleShortVersionString"); });
  return version_;
}

std::string AppInfo::appTitle() {
  std::string title;
  title += appName();
  title += " ";
  title += appVersion();
  return title;
}

AppInfo& mainAppInfo() {
  static AppInfo* info = new AppInfo([] {
    return std::optional<InfoDictionary>(InfoDictionary{
        {"CFBundleName", QUILLBOX_BUNDLE_NAME}, {"CFBundleShortVersionString", QUILLBOX_BUNDLE_VERSION}});
  });
  return *info;
}

std::string appTitle() { return mainAppInfo().appTitle(); }

}  // namespace quillbox
