// The trees `quillbox tree` prints, byte for byte as recorded in testdata/tree: each screen after
// its Appear and the whole app, on a phone and on a tablet, over lists holding a text, a link, a
// link that does not parse, markup, bytes that are not UTF-8, finished to-dos, a mark past the end
// and tags. The recorded JSON is kept compact; `--json` prints it indented by two spaces.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/cli/cli_test_support.h"
#include "platform/app_info.h"

namespace quillbox {
namespace {

using clitest::kSep;

std::string withTitleMarked(std::string text) {
  const std::string title = "\"" + appTitle() + "\"";
  for (std::size_t at = text.find(title); at != std::string::npos; at = text.find(title, at))
    text.replace(at, title.size(), "\"<appTitle>\"");
  return text;
}

TEST(TreeGolden, EveryScreenOnPhoneAndPadPrintsAsRecorded) {
  clitest::TempFolder folder;
  clitest::Device device(folder.path() / "home", folder.path() / "cloud", folder.path());
  const std::string s = kSep;
  const std::pair<const char*, std::string> lists[] = {
      {"notesFromCloud", "a" + s + "https://x.org/p?q=1" + s + "https://bad url" + s + "<b>x</b> & \"q\"" +
                             s + "bad \xff\xc3 e\x1b[31mr\tl" + s},
      {"tasksFromCloud",
       "a" + s + "b" + s + "https://x.org" + s + "https://bad url" + s + "HTTP://x.org" + s},
      {"stringTasksFinishedIndicesFromCloud", "1,2,9,"},
      {"taggedNotesFromCloud", "🔴  a" + s + "🟢  b" + s + "https://x.org/#🔴" + s + "⚫️  black" + s +
                                   "🔴  " + s + "🔴  https://y.org" + s}};
  for (const auto& [key, value] : lists) ASSERT_EQ(device.run({"cloud", "set", key, value}).code, 0);

  const auto recorded = std::filesystem::path(__FILE__).parent_path() / "testdata" / "tree";
  for (const std::string idiom : {"phone", "pad"}) {
    for (const std::string screen : {"notes", "tasks", "tags", "app"}) {
      const std::string name = screen + "-" + idiom;
      clitest::Outcome json = device.run({"--idiom", idiom, "tree", screen, "--json"});
      ASSERT_EQ(json.code, 0) << json.err;
      const std::string compact = clitest::fileContents(recorded / (name + ".json"));
      EXPECT_EQ(withTitleMarked(json.out), nlohmann::ordered_json::parse(compact).dump(2) + "\n") << name;
      EXPECT_EQ(withTitleMarked(device.run({"--idiom", idiom, "tree", screen}).out),
                clitest::fileContents(recorded / (name + ".txt")))
          << name;
    }
  }
}

}  // namespace
}  // namespace quillbox
