#include "platform/store/home.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "platform/temp_folder_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

class HomeTest : public ::testing::Test {
 protected:
  // The resolved home (root_ shown as "<root>"), or the error.
  std::string resolve(std::optional<std::string> flag = std::nullopt) {
    auto home = resolveHome(std::move(flag), [this](const char* name) -> std::optional<std::string> {
      auto found = env_.find(name);
      return found == env_.end() ? std::nullopt : std::optional<std::string>(found->second);
    });
    std::string text = home.ok() ? home.value().string() : "error: " + home.status().message();
    for (std::size_t at; (at = text.find(root_.string())) != std::string::npos;)
      text.replace(at, root_.string().size(), "<root>");
    return text;
  }
  unsigned mode(const fs::path& path) { return static_cast<unsigned>(fs::status(path).permissions()); }

  TempFolder temp_;
  std::filesystem::path root_ = temp_.path();
  std::map<std::string, std::string> env_;
};

TEST_F(HomeTest, TheFlagThenQuillboxHomeThenXdgDataHomeThenHome) {
  std::string seen = resolve() + " ";
  for (const auto& [name, value] : {std::pair<const char*, std::string>{"HOME", (root_ / "user").string()},
                                    {"XDG_DATA_HOME", "relative/ignored"},
                                    {"XDG_DATA_HOME", (root_ / "xdg").string()},
                                    {"QUILLBOX_HOME", ""},  // empty counts as unset
                                    {"QUILLBOX_HOME", (root_ / "own/").string()}}) {
    env_[name] = value;
    seen += resolve() + " ";
  }
  EXPECT_EQ(seen + resolve((root_ / "flag" / "." / "home").string()),
            "error: no home folder: pass --home DIR or set QUILLBOX_HOME or HOME "
            "<root>/user/.local/share/quillbox <root>/user/.local/share/quillbox <root>/xdg/quillbox "
            "<root>/xdg/quillbox <root>/own <root>/flag/home");
}

TEST_F(HomeTest, MissingFoldersAreCreatedPrivateExistingOnesLeftAsTheyAreAndTheRestAreClearErrors) {
  fs::create_directory(root_ / "shared");
  fs::permissions(root_ / "shared", fs::perms(0755));
  std::ofstream(root_ / "file") << "x";
  EXPECT_EQ(resolve((root_ / "a" / "b" / "c").string()) + " " + resolve((root_ / "shared").string()) + " " +
                resolve(fs::relative(root_ / "rel", fs::current_path()).string()) + " | " +
                resolve((root_ / "file" / "below").string()) + " | " + resolve(""),
            "<root>/a/b/c <root>/shared <root>/rel | error: cannot create the folder \"<root>/file/below\": "
            "\"<root>/file\" is not a folder | error: --home needs a folder");
  EXPECT_EQ(std::to_string(mode(root_ / "a")) + " " + std::to_string(mode(root_ / "a" / "b" / "c")) + " " +
                std::to_string(mode(root_ / "shared")),
            std::to_string(0700) + " " + std::to_string(0700) + " " + std::to_string(0755));
}

}  // namespace
}  // namespace quillbox
