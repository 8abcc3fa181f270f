#include "app/cli/cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/cli_test_support.h"
#include "base/list_string.h"
#include "platform/store/home_lock.h"

namespace quillbox::clitest {
namespace {

using Json = nlohmann::ordered_json;

class CommandLineTest : public CommandLineFixture {
 protected:
  // The compact form of a JSON output, keys in the order printed.
  std::string json(const std::vector<std::string>& args) { return Json::parse(ok(args)).dump(); }
};

TEST_F(CommandLineTest, NotesAreNumberedByPlaceInTheWholeListAndDeletedByValue) {
  for (const char* text : {"a", "b", "a", "c"}) ok({"notes", "add", text});
  EXPECT_EQ(rows({"notes", "list", "--search", "a"}), "1 a|3 a");
  EXPECT_EQ(flattened(ok({"notes", "delete", "3"})), "deleted 2 entries equal to \"a\"|1 b|2 c");
  EXPECT_EQ(inCloud("notesFromCloud"), items({"b", "c"}));
}

TEST_F(CommandLineTest, ListsAsJsonKeepTheirKeysInOrderAndLabelLinks) {
  ok({"store", "set", "stringNotes", items({"https://example.com/a?b=1", "https://exa mple", "plain"})});
  EXPECT_EQ(rows({"notes", "list"}), "1 https://example.com/a?b=1|2 |3 plain");
  EXPECT_EQ(
      json({"notes", "list", "--json"}),
      R"([{"number":1,"text":"https://example.com/a?b=1","label":"link"},)"
      R"({"number":2,"text":"https://exa mple","label":"none"},{"number":3,"text":"plain","label":"text"}])");

  ok({"store", "set", "stringTasks", items({"x", "y", "z"})});
  ok({"store", "set", "stringTasksFinishedIndices", "1,2,"});
  ok({"tasks", "toggle", "3"});  // unfinished again
  EXPECT_EQ(rows({"tasks", "list"}), "1 [ ] x|2 [x] y|3 [ ] z");
  EXPECT_EQ(rows({"tasks", "list", "--search", "y"}), "2 [x] y");
  EXPECT_EQ(json({"tasks", "list", "--json", "--search", "y"}),
            R"([{"number":2,"text":"y","label":"text","finished":true}])");
  EXPECT_EQ(json({"notes", "list", "--json", "--search", "nothing like it"}), "[]");
}

TEST_F(CommandLineTest, TagsAreGivenByColourNameOrGlyphAddedUnderRedByDefaultAndAGlyphInATextCounts) {
  ok({"tags", "add", "plain"});
  ok({"tags", "add", "--tag", "green", ""});  // a tag-only entry: stored, never listed nor numbered
  ok({"tags", "add", "--tag", "green", "see 🔵"});
  ok({"tags", "add", "--tag", "🔵", "sky"});
  ok({"tags", "add", "--tag", "black", "night"});
  EXPECT_EQ(rows({"tags", "list"}), "1 🔴  plain|2 🟢  see 🔵|3 🔵  sky|4 \u26AB\uFE0F  night");
  EXPECT_EQ(rows({"tags", "list", "--tag", "blue"}), "2 🟢  see 🔵|3 🔵  sky");
  EXPECT_EQ(rows({"tags", "list", "--tag", "\u26AB\uFE0F"}), "4 \u26AB\uFE0F  night");

  ok({"tags", "delete", "2"});
  EXPECT_EQ(rows({"tags", "list", "--tag", "blue"}), "2 🔵  sky");
  EXPECT_EQ(stored("stringTaggedNotes"), items({"🔴  plain", "🟢  ", "🔵  sky", "\u26AB\uFE0F  night"}));

  const std::string before = everything();
  EXPECT_EQ(refused({"tags", "add", "--tag", "pink", "x"}).substr(0, 25), "2 quillbox: not a tag: pi");
  EXPECT_EQ(refused({"tags", "list", "--tag", ""}).substr(0, 23), "2 quillbox: not a tag: ");
  EXPECT_EQ(everything(), before);
}

TEST_F(CommandLineTest, ARowThatDoesNotExistIsAUsageErrorAndChangesNothing) {
  ok({"store", "set", "stringNotes", items({"a", "b"})});
  ok({"store", "set", "stringTasks", items({"a"})});
  ok({"store", "set", "stringTasksFinishedIndices", "0,"});
  ok({"store", "set", "stringTaggedNotes", items({"🔴  t"})});
  const std::string before = everything();

  EXPECT_EQ(refused({"notes", "delete", "0"}), "2 quillbox: notes delete: no row 0 (the list has 2 rows)");
  EXPECT_EQ(refused({"notes", "delete", "3"}), "2 quillbox: notes delete: no row 3 (the list has 2 rows)");
  EXPECT_EQ(refused({"notes", "delete", "1x"}), "2 quillbox: notes delete: not a row number: 1x");
  EXPECT_EQ(refused({"notes", "delete", "99999999999999999999999"}),
            "2 quillbox: notes delete: not a row number: 99999999999999999999999");
  EXPECT_EQ(refused({"tasks", "toggle", "2"}), "2 quillbox: tasks toggle: no row 2 (the list has 1 row)");
  EXPECT_EQ(refused({"tags", "delete", "2"}), "2 quillbox: tags delete: no row 2 (the list has 1 row)");
  EXPECT_EQ(everything(), before);
}

TEST_F(CommandLineTest, HelpAndVersionExit0UsageErrorsExit2AndAHomeThatCannotBeOpenedExits1NamingIt) {
  std::string codes;
  for (std::vector<std::string> args : {std::vector<std::string>{"frobnicate"},
                                        {"notes", "list", "--frob"},
                                        {"notes"},
                                        {"notes", "add"},
                                        {"--idiom", "watch", "tree", "app"},
                                        {"tree", "settings"}})
    codes += refused(args).substr(0, 2);
  EXPECT_EQ(codes, "2 2 2 2 2 2 ");
  EXPECT_NE(ok({"--help"}).find("notes"), std::string::npos);
  EXPECT_EQ(ok({"--version"}), "Quillbox 0.1.0\n");
  EXPECT_EQ(refused({"notes", "delete", "\x1b[2J"}), "2 quillbox: notes delete: not a row number: \\x1b[2J");

  // A home that cannot be opened exits 1 naming it, and is left as it was.
  const std::string home = file("a-file") + "/home";
  std::ofstream(file("a-file")) << "not a folder";
  EXPECT_EQ(
      refusedOn(Device(home, folder_.path() / "cloud", folder_.path()), {"notes", "add", "x"}),
      "1 quillbox: cannot create the folder \"" + home + "\": \"" + file("a-file") + "\" is not a folder");
  EXPECT_EQ(fileContents(file("a-file")), "not a folder");
}

TEST_F(CommandLineTest, TextsAreTakenExactlyAndNeverSentRawToATerminal) {
  ok({"notes", "add", ""});
  EXPECT_EQ(stored("stringNotes"), kSep);  // the string changed, yet no row
  EXPECT_EQ(rows({"notes", "list"}), "");

  ok({"notes", "add", "--", "-x"});
  ok({"notes", "add", std::string("b") + kSep + "c"});
  ok({"notes", "add", "e\x1b[31mr\nl"});
  ok({"notes", "add", "<b>x</b> &amp; <script>"});
  EXPECT_EQ(rows({"notes", "list"}), "1 -x|2 b|3 c|4 e\\x1b[31mr\\nl|5 <b>x</b> &amp; <script>");
  EXPECT_EQ(stored("stringNotes"),
            std::string(kSep) + items({"-x", "b", "c", "e\x1b[31mr\nl", "<b>x</b> &amp; <script>"}));
  EXPECT_EQ(json({"notes", "list", "--json", "--search", "e"}),
            R"([{"number":4,"text":"e\u001b[31mr\nl","label":"text"}])");

  std::string tree = ok({"tree", "notes"});
  EXPECT_EQ(tree.find('\x1b'), std::string::npos) << tree;
  EXPECT_NE(tree.find(R"(text="e\u001b[31mr\nl")"), std::string::npos) << tree;

  const std::string bad = std::string("ok\xff\xc3") + kSep;  // not UTF-8: listed safely, stays stored
  ok({"cloud", "set", "notesFromCloud", bad});
  EXPECT_EQ(rows({"notes", "list"}), "1 ok\\xff\\xc3");
  EXPECT_EQ(json({"notes", "list", "--json"}),
            "[{\"number\":1,\"text\":\"ok\xEF\xBF\xBD\xEF\xBF\xBD\",\"label\":\"text\"}]");
  EXPECT_EQ(stored("stringNotes"), bad);
}

TEST_F(CommandLineTest, StoreAndCloudAreRawAndAMegabyteValueComesThroughStandardInput) {
  EXPECT_EQ(refused({"cloud", "get", "notesFromCloud"}), "1 quillbox: cloud: nothing under notesFromCloud");
  ok({"cloud", "set", "someKey", ""});
  EXPECT_EQ(ok({"cloud", "get", "someKey"}), "\n");  // empty is not absent
  EXPECT_EQ(ok({"store", "get", "neverSet"}), "\n");

  std::string big;
  std::size_t entries = 0;
  for (; big.size() < (1u << 20); ++entries)
    big += "entry " + std::to_string(entries) + std::string(10000, '.') + kSep;
  ok({"cloud", "set", "notesFromCloud", "-"}, big);
  EXPECT_TRUE(inCloud("notesFromCloud") == big);
  std::string listed = ok({"notes", "list"});  // the load takes the cloud copy, whole
  EXPECT_EQ(static_cast<std::size_t>(std::count(listed.begin(), listed.end(), '\n')), entries);
  EXPECT_TRUE(stored("stringNotes") == big);

  ok({"store", "set", "stringTasks", "-"}, "line one\nline two" + std::string(kSep));
  EXPECT_EQ(rows({"tasks", "list"}), "1 [ ] line one\\nline two");
}

// Something the folder will not take in place of a key file (an immutable file, a folder): the
// write waits, is reported, is never undone by a load, and goes once the folder takes it.
TEST_F(CommandLineTest, AWriteTheCloudFolderRefusesIsKeptReportedAndSentOnceItCan) {
  fs::create_directories(folder_.path() / "cloud" / "notesFromCloud" / "inside");
  std::string problem;
  EXPECT_EQ(troubledOn(phone_, {"notes", "add", "kept"}, &problem), "0 1 kept");
  EXPECT_NE(problem.find("; kept here, not yet sent: notesFromCloud"), std::string::npos) << problem;
  EXPECT_NE(cloudStatus(phone_).find("|pending: notesFromCloud"), std::string::npos);

  fs::remove_all(folder_.path() / "cloud" / "notesFromCloud");
  EXPECT_EQ(rows({"notes", "list"}), "1 kept");
  EXPECT_EQ(cloudStatus(phone_) + "|" + inCloud("notesFromCloud"),
            "store: " + (folder_.path() / "cloud").string() + "|status: ok|" + items({"kept"}));
}

// A slow reader of a long list (a pager, a full pipe) holds up nobody: the list is printed once the
// home is let go.
TEST_F(CommandLineTest, AListIsPrintedAfterTheHomeIsLetGo) {
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "note " + std::to_string(i) + kSep;
  ok({"store", "set", "stringNotes", "-"}, many);
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
  const pid_t lister =
      spawnQuillbox({"--home", file("phone"), "--cloud", file("cloud"), "notes", "list"}, &actions);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_GT(lister, 0);
  ::close(pipe[1]);

  char first = 0;
  ASSERT_EQ(::read(pipe[0], &first, 1), 1);  // it prints: far more than the pipe holds
  Outcome added =
      phone_.with("QUILLBOX_LOCK_WAIT_MS=60000").run({"notes", "add", "while the list waits to be read"});
  EXPECT_EQ(added.code, 0) << added.err;
  const std::string listed = first + fileContents("/dev/fd/" + std::to_string(pipe[0]));
  ::close(pipe[0]);
  EXPECT_EQ(waitExited(lister), 0);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 20000);
}

// Another process holding the home: a command waits a few seconds at most, then says who holds it.
TEST_F(CommandLineTest, AWaitForTheHomeIsBoundedAndNamesTheHolder) {
  ok({"notes", "add", "a"});
  auto held = HomeLock::of(folder_.path() / "phone").value()->lock();
  ASSERT_TRUE(held.ok());
  std::string line = refusedOn(phone_.with("QUILLBOX_LOCK_WAIT_MS=200"), {"notes", "list"});
  const std::string expected = "1 quillbox: the home \"" + (folder_.path() / "phone").string() +
                               "\" is in use by process " + std::to_string(::getpid()) + " (";
  EXPECT_EQ(line.substr(0, expected.size()), expected);
  EXPECT_NE(line.find("cli_tests"), std::string::npos) << line;
}

TEST_F(CommandLineTest, TwoProcessesAddingAtOnceLoseNothing) {
  auto loop = [this](const std::string& prefix, std::string* failures) {
    for (int i = 1; i <= 50; ++i) {
      Outcome outcome = phone_.run({"notes", "add", prefix + std::to_string(i)});
      if (outcome.code != 0) *failures += prefix + std::to_string(i) + ": " + outcome.err;
    }
  };
  std::string failuresA, failuresB;
  std::thread a(loop, "A", &failuresA), b(loop, "B", &failuresB);
  a.join();
  b.join();
  EXPECT_EQ(failuresA + failuresB, "");

  const ItemList kept = decodeItemList(stored("stringNotes"));
  EXPECT_EQ(std::set<std::string>(kept.begin(), kept.end()).size(), 100u);
  EXPECT_EQ(inCloud("notesFromCloud"), stored("stringNotes"));
}

}  // namespace
}  // namespace quillbox::clitest
