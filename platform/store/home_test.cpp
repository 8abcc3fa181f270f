#include "platform/store/home.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "platform/temp_folder_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

class HomeTest : public ::testing::Test {
 protected:
  void setEnv(const char* name, std::string value) { env_[name] = std::move(value); }
  // The resolved home, as a path under root_ ("<root>/...") or the error.
  std::string resolve(std::optional<std::string> flag = std::nullopt) {
    auto home = resolveHome(std::move(flag), [this](const char* name) -> std::optional<std::string> {
      auto found = env_.find(name);
      if (found == env_.end()) return std::nullopt;
      return found->second;
    });
    if (!home.ok()) return withoutRoot("error: " + home.status().message());
    return withoutRoot(home.value().string());
  }
  std::string withoutRoot(std::string text) {
    const std::string root = root_.string();
    for (std::size_t at; (at = text.find(root)) != std::string::npos;)
      text.replace(at, root.size(), "<root>");
    return text;
  }
  unsigned mode(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 0777;
  }

  TempFolder temp_;
  std::filesystem::path root_ = temp_.path();
  std::map<std::string, std::string> env_;
};

TEST_F(HomeTest, TheFlagThenQuillboxHomeThenXdgDataHomeThenHome) {
  std::string seen;
  for (const auto& [name, value] : {std::pair<const char*, std::string>{"HOME", (root_ / "user").string()},
                                    {"XDG_DATA_HOME", "relative/ignored"},
                                    {"XDG_DATA_HOME", (root_ / "xdg").string()},
                                    {"QUILLBOX_HOME", ""},  // empty counts as unset
                                    {"QUILLBOX_HOME", (root_ / "own/").string()}}) {
    setEnv(name, value);
    seen += resolve() + " ";
  }
  EXPECT_EQ(seen + resolve((root_ / "flag" / "." / "home").string()),
            "<root>/user/.local/share/quillbox <root>/user/.local/share/quillbox <root>/xdg/quillbox "
            "<root>/xdg/quillbox <root>/own <root>/flag/home");
}

TEST_F(HomeTest, MissingFoldersAreCreatedPrivateAndExistingOnesLeftAsTheyAre) {
  fs::create_directory(root_ / "shared");
  fs::permissions(root_ / "shared", fs::perms(0755));
  EXPECT_EQ(resolve((root_ / "a" / "b" / "c").string()) + " " + resolve((root_ / "shared").string()) + " " +
                resolve(fs::relative(root_ / "rel", fs::current_path()).string()),
            "<root>/a/b/c <root>/shared <root>/rel");
  EXPECT_EQ(mode(root_ / "a") + mode(root_ / "a" / "b" / "c"), 0700u + 0700u);
  EXPECT_EQ(mode(root_ / "shared"), 0755u);
}

TEST_F(HomeTest, HomesThatCannotBeMadeOrFoundAreClearErrors) {
  std::ofstream(root_ / "file") << "x";
  EXPECT_EQ(resolve((root_ / "file" / "below").string()),
            "error: cannot create the folder \"<root>/file/below\": \"<root>/file\" is not a folder");
  EXPECT_EQ(resolve(""), "error: --home needs a folder");
  EXPECT_EQ(resolve(), "error: no home folder: pass --home DIR or set QUILLBOX_HOME or HOME");
}

}  // namespace
}  // namespace quillbox
