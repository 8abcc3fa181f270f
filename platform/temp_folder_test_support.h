#pragma once

#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

namespace quillbox {

// A folder of its own under another (the temporary folder unless told), removed with everything in
// it when this goes.
class TempFolder {
 public:
  explicit TempFolder(const std::filesystem::path& under = std::filesystem::temp_directory_path()) {
    std::string pattern = (under / "quillbox-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The names in a folder, sorted, joined by " ".
inline std::string fileNames(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : " ") + name;
  return out;
}

}  // namespace quillbox
