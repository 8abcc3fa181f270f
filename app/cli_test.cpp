#include "app/cli.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/cli_test_support.h"
#include "platform/home_lock.h"

namespace quillbox {
namespace {

using clitest::items;
using clitest::joined;
using clitest::kSep;
using clitest::Outcome;
using Json = nlohmann::ordered_json;

// Every run gets a fresh home ("phone") and a cloud folder of its own; more devices may share it.
class CommandLineTest : public ::testing::Test {
 protected:
  CommandLineTest() : phone_(device("phone")) {}

  clitest::Device device(const std::string& home, const std::string& cloud = "cloud") const {
    return clitest::Device(folder_.path() / home, folder_.path() / cloud, folder_.path());
  }

  // Runs a command that must succeed; its standard output.
  static std::string okOn(const clitest::Device& on, const std::vector<std::string>& args,
                          const std::string& input = "") {
    Outcome outcome = on.run(args, input);
    EXPECT_EQ(outcome.code, 0) << joined(args) << ": " << outcome.err;
    return outcome.out;
  }
  std::string ok(const std::vector<std::string>& args, const std::string& input = "") {
    return okOn(phone_, args, input);
  }
  void add(const std::string& list, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) ok({list, "add", "--", text});
  }
  // A listing flattened: "1 a|3 a".
  std::string rows(const std::vector<std::string>& args) { return clitest::flattened(ok(args)); }
  // The compact form of a JSON output, keys in the order printed.
  std::string json(const std::vector<std::string>& args) { return Json::parse(ok(args)).dump(); }
  // A raw value as `store get` / `cloud get` print it, without the closing newline.
  static std::string valueOn(const clitest::Device& on, const std::string& store, const std::string& key) {
    std::string out = okOn(on, {store, "get", key});
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string stored(const std::string& key) { return valueOn(phone_, "store", key); }
  std::string inCloud(const std::string& key) { return valueOn(phone_, "cloud", key); }
  // A command that must fail with one line on stderr: "CODE message".
  std::string refused(const std::vector<std::string>& args) {
    Outcome outcome = phone_.run(args);
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1)
        << joined(args) << ": " << outcome.err;
    EXPECT_EQ(outcome.out, "") << joined(args);
    std::string line = outcome.err;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return std::to_string(outcome.code) + " " + line;
  }
  // Every list string of the home, to show that a refused command changed nothing.
  std::string everything() {
    return stored("stringNotes") + "|" + stored("stringTasks") + "|" + stored("stringTasksFinishedIndices") +
           "|" + stored("stringTaggedNotes");
  }

  clitest::TempFolder folder_;
  clitest::Device phone_;
};

TEST_F(CommandLineTest, NotesAreNumberedByPlaceInTheWholeListAndDeletedByValue) {
  add("notes", {"a", "b", "a", "c"});
  EXPECT_EQ(rows({"notes", "list", "--search", "a"}), "1 a|3 a");
  EXPECT_EQ(clitest::flattened(ok({"notes", "delete", "3"})), "1 b|2 c");
  EXPECT_EQ(stored("stringNotes"), items({"b", "c"}));
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

TEST_F(CommandLineTest, TagsAreGivenByColourNameOrGlyphRedByDefaultAndAGlyphInATextCounts) {
  ok({"tags", "add", "plain"});
  ok({"tags", "add", "--tag", "green", ""});  // a tag-only entry: stored, never listed nor numbered
  ok({"tags", "add", "--tag", "green", "see 🔵"});
  ok({"tags", "add", "--tag", "🔵", "sky"});
  ok({"tags", "add", "--tag", "black", "night"});
  EXPECT_EQ(rows({"tags", "list"}), "1 🔴  plain");
  EXPECT_EQ(rows({"tags", "list", "--tag", "blue"}), "2 🟢  see 🔵|3 🔵  sky");
  EXPECT_EQ(rows({"tags", "list", "--tag", "blue", "--search", "sky"}), "3 🔵  sky");
  EXPECT_EQ(rows({"tags", "list", "--tag", "\u26AB\uFE0F"}), "4 \u26AB\uFE0F  night");
  EXPECT_EQ(rows({"tags", "list", "--tag", "green"}), "2 🟢  see 🔵");

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
  EXPECT_EQ(refused({"notes", "delete", "abc"}), "2 quillbox: notes delete: not a row number: abc");
  EXPECT_EQ(refused({"notes", "delete", "1x"}), "2 quillbox: notes delete: not a row number: 1x");
  EXPECT_EQ(refused({"notes", "delete", "99999999999999999999999"}),
            "2 quillbox: notes delete: not a row number: 99999999999999999999999");
  EXPECT_EQ(refused({"notes", "delete", "--", "-1"}),
            "2 quillbox: notes delete: no row -1 (the list has 2 rows)");
  EXPECT_EQ(refused({"tasks", "toggle", "2"}), "2 quillbox: tasks toggle: no row 2 (the list has 1 row)");
  EXPECT_EQ(refused({"tasks", "delete", "0"}), "2 quillbox: tasks delete: no row 0 (the list has 1 row)");
  EXPECT_EQ(refused({"tags", "delete", "2"}), "2 quillbox: tags delete: no row 2 (the list has 1 row)");
  EXPECT_EQ(everything(), before);
}

TEST_F(CommandLineTest, UsageErrorsExit2AndAHomeThatCannotBeOpenedExits1NamingIt) {
  EXPECT_EQ(refused({"frobnicate"}).substr(0, 2), "2 ");
  EXPECT_EQ(refused({"notes", "list", "--frob"}).substr(0, 2), "2 ");
  EXPECT_EQ(refused({"notes"}).substr(0, 2), "2 ");
  EXPECT_EQ(refused({"notes", "add"}).substr(0, 2), "2 ");
  EXPECT_EQ(refused({"--idiom", "watch", "tree", "app"}).substr(0, 2), "2 ");
  EXPECT_EQ(refused({"tree", "settings"}).substr(0, 2), "2 ");
  EXPECT_EQ(refused({"notes", "delete", "\x1b[2J"}), "2 quillbox: notes delete: not a row number: \\x1b[2J");

  const clitest::fs::path file = folder_.path() / "a-file";
  std::ofstream(file) << "not a folder";
  const std::string home = (file / "home").string();
  Outcome outcome = clitest::runQuillbox({"--home", home, "notes", "add", "x"}, "", folder_.path());
  EXPECT_EQ(outcome.code, 1) << outcome.err;
  EXPECT_NE(outcome.err.find(home), std::string::npos) << outcome.err;
  EXPECT_EQ(clitest::fileContents(file), "not a folder");

  // A settings file that is not a database is reported, and left as it was for someone to rescue.
  clitest::fs::create_directories(folder_.path() / "damaged");
  const clitest::fs::path settings = folder_.path() / "damaged" / "settings.sqlite3";
  std::ofstream(settings) << std::string(4096, 'G');
  outcome = device("damaged").run({"notes", "add", "x"});
  EXPECT_EQ(outcome.code, 1) << outcome.err;
  EXPECT_NE(outcome.err.find(settings.string()), std::string::npos) << outcome.err;
  EXPECT_EQ(clitest::fileContents(settings), std::string(4096, 'G'));
}

TEST_F(CommandLineTest, AnUnexpectedArgumentIsEchoedEscapedOnOneLine) {
  std::string line = refused({"notes", "list", "\x1b[31mred\nsecond"});
  EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  EXPECT_NE(line.find("\\x1b[31mred\\nsecond"), std::string::npos) << line;
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
}

TEST_F(CommandLineTest, InvalidUtf8InAStoredTextListsSafelyAndStaysStored) {
  const std::string bad = std::string("ok\xff\xc3") + kSep;
  ok({"store", "set", "stringNotes", bad});
  EXPECT_EQ(rows({"notes", "list"}), "1 ok\\xff\\xc3");
  EXPECT_EQ(json({"notes", "list", "--json"}),
            "[{\"number\":1,\"text\":\"ok\xEF\xBF\xBD\xEF\xBF\xBD\",\"label\":\"text\"}]");
  EXPECT_NO_THROW(Json::parse(ok({"tree", "notes", "--json"})));
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
  clitest::fs::create_directories(folder_.path() / "cloud" / "notesFromCloud" / "inside");
  Outcome added = phone_.run({"notes", "add", "kept"});
  EXPECT_EQ(added.code, 0) << added.err;
  EXPECT_NE(added.err.find("; kept here, not yet sent: notesFromCloud"), std::string::npos) << added.err;
  EXPECT_EQ(rows({"notes", "list"}), "1 kept");
  std::string status = clitest::flattened(ok({"cloud", "status"}));
  EXPECT_NE(status.find("|pending: notesFromCloud"), std::string::npos) << status;

  clitest::fs::remove_all(folder_.path() / "cloud" / "notesFromCloud");
  EXPECT_EQ(rows({"notes", "list"}), "1 kept");
  EXPECT_EQ(clitest::flattened(ok({"cloud", "status"})),
            "store: " + (folder_.path() / "cloud").string() + "|status: ok");
  EXPECT_EQ(inCloud("notesFromCloud"), items({"kept"}));
}

TEST_F(CommandLineTest, AKeyThatIsAFifoIsRefusedClearlyAndNoCommandHangs) {
  ok({"notes", "add", "a"});
  ASSERT_EQ(::mkfifo((folder_.path() / "cloud" / "taggedNotesFromCloud").c_str(), 0600), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"tags", "add", "x"}, {"tags", "list"}}) {
    Outcome outcome = phone_.run(args);
    EXPECT_EQ(outcome.code, 0) << joined(args) << ": " << outcome.err;
    EXPECT_NE(outcome.err.find("it is a FIFO, not a regular file"), std::string::npos) << outcome.err;
  }
  EXPECT_EQ(rows({"tags", "list"}), "1 🔴  x");
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
  std::string binary = clitest::quillboxBinary().string(), home = (folder_.path() / "phone").string(),
              cloud = (folder_.path() / "cloud").string();
  std::vector<std::string> words{binary, "--home", home, "--cloud", cloud, "notes", "list"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t lister = 0;
  ASSERT_EQ(posix_spawn(&lister, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);

  std::string listed;
  char buffer[4096];
  ssize_t got = ::read(pipe[0], buffer, sizeof buffer);  // it prints: far more than the pipe holds
  ASSERT_GT(got, 0);
  listed.append(buffer, static_cast<std::size_t>(got));
  ::setenv("QUILLBOX_LOCK_WAIT_MS", "60000", 1);
  Outcome added = phone_.run({"notes", "add", "while the list waits to be read"});
  ::unsetenv("QUILLBOX_LOCK_WAIT_MS");
  EXPECT_EQ(added.code, 0) << added.err;
  while ((got = ::read(pipe[0], buffer, sizeof buffer)) > 0)
    listed.append(buffer, static_cast<std::size_t>(got));
  ::close(pipe[0]);
  EXPECT_EQ(clitest::waitExited(lister), 0);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 20000);
}

// Another process holding the home: a command waits a few seconds at most, then says who holds it.
TEST_F(CommandLineTest, AWaitForTheHomeIsBoundedAndNamesTheHolder) {
  ok({"notes", "add", "a"});
  auto held = HomeLock::of(folder_.path() / "phone").value()->lock();
  ASSERT_TRUE(held.ok());
  ::setenv("QUILLBOX_LOCK_WAIT_MS", "200", 1);
  std::string line = refused({"notes", "list"});
  ::unsetenv("QUILLBOX_LOCK_WAIT_MS");
  const std::string expected = "1 quillbox: the home \"" + (folder_.path() / "phone").string() +
                               "\" is in use by process " + std::to_string(::getpid()) + " (";
  EXPECT_EQ(line.substr(0, expected.size()), expected);
  EXPECT_NE(line.find("app_tests"), std::string::npos) << line;
}

// No other user of the machine reads a list: every file is made 0600, even in a home that exists
// wide open and under the usual umask.
TEST_F(CommandLineTest, EveryFileItMakesIsPrivateInAWideHomeUnderAWideUmask) {
  const clitest::fs::path home = folder_.path() / "phone";
  clitest::fs::create_directories(home);
  clitest::fs::permissions(home, clitest::fs::perms(0755));
  mode_t before = ::umask(022);
  ok({"notes", "add", "private"});
  ok({"export", (folder_.path() / "lists.json").string()});
  ::umask(before);
  std::string modes;
  for (const clitest::fs::path& file :
       {home / "settings.sqlite3", home / "lock", folder_.path() / "cloud" / "notesFromCloud",
        folder_.path() / "lists.json"}) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(clitest::fs::status(file).permissions()));
    modes += std::string(modes.empty() ? "" : " ") + mode;
  }
  EXPECT_EQ(modes, "0600 0600 0600 0600");
}

// The tree JSON's elements, one per line: "Text \"label\" font", texts and fields only.
void describeTexts(const Json& element, std::string& out) {
  std::string name = element.at("element");
  std::string font;
  for (const Json& modifier : element.at("modifiers")) {
    if (modifier.at("name") == "font") font = " " + modifier.at("value").get<std::string>();
  }
  if (name == "Text") {
    out += "Text \"" + element.at("text").get<std::string>() + "\"" +
           (element.at("verbatim").get<bool>() ? " verbatim" : "") + font + "\n";
  } else if (name == "TextField") {
    out += "TextField \"" + element.at("title").get<std::string>() + "\" -> " +
           element.at("binding").get<std::string>() + font + "\n";
  } else if (name == "Link") {
    out += "Link \"" + element.at("title").get<std::string>() + "\" -> " +
           element.at("destination").get<std::string>() + font + "\n";
  }
  for (const Json& modifier : element.at("modifiers")) {
    if (modifier.at("value").is_object() && modifier.at("value").contains("element")) {
      describeTexts(modifier.at("value"), out);
    }
  }
  if (element.contains("header")) describeTexts(element.at("header"), out);
  for (const Json& child : element.at("children")) describeTexts(child, out);
}

// Every element starts with "element", has its modifiers as {name, value} and its children.
void checkShape(const Json& element, std::set<std::string>& fonts) {
  ASSERT_TRUE(element.is_object());
  ASSERT_EQ(element.begin().key(), "element") << element.dump();
  ASSERT_TRUE(element.at("children").is_array()) << element.dump();
  for (const Json& modifier : element.at("modifiers")) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : modifier.items()) keys.push_back(key);
    ASSERT_EQ(joined(keys), "name value") << modifier.dump();
    if (modifier.at("name") == "font") fonts.insert(modifier.at("value").get<std::string>());
    if (modifier.at("value").is_object() && modifier.at("value").contains("element")) {
      checkShape(modifier.at("value"), fonts);
    }
  }
  if (element.contains("header")) checkShape(element.at("header"), fonts);
  for (const Json& child : element.at("children")) checkShape(child, fonts);
}

std::string fontsOf(const Json& tree) {
  std::set<std::string> fonts;
  checkShape(tree, fonts);
  return joined({fonts.begin(), fonts.end()});
}

TEST_F(CommandLineTest, TreeJsonNamesElementsPropertiesAndModifiersAndFollowsTheIdiom) {
  add("notes", {"https://x.org", "<i>t</i>"});
  Json notes = Json::parse(ok({"tree", "notes", "--json"}));
  std::string texts;
  describeTexts(notes, texts);
  EXPECT_EQ(texts,
            "Text \"Quillbox 0.1.0\" verbatim\n"
            "Text \"Add a new note\" headline\n"
            "TextField \"Type in a note\" -> notesTextField headline\n"
            "Text \"Search in all notes\" headline\n"
            "TextField \"Type in here\" -> searchNotes headline\n"
            "Text \"1\" headline\n"
            "Link \"https://x.org\" -> https://x.org headline\n"
            "Text \"2\" headline\n"
            "Text \"<i>t</i>\" verbatim headline\n");
  EXPECT_EQ(notes.at("children").at(0).at("children").at(0).at("header").at("element"), "HStack");
  EXPECT_EQ(fontsOf(notes), "headline");
  EXPECT_EQ(fontsOf(Json::parse(ok({"--idiom", "pad", "tree", "notes", "--json"}))), "title2");
  EXPECT_EQ(fontsOf(Json::parse(ok({"--idiom", "pad", "tree", "tasks", "--json"}))), "title2");
  EXPECT_EQ(fontsOf(Json::parse(ok({"tree", "tasks", "--json"}))), "headline");
}

TEST_F(CommandLineTest, TheAppTreeIsThreeLabelledTabsWithTheWindowFinderBehind) {
  Json app = Json::parse(ok({"tree", "app", "--json"}));
  std::set<std::string> fonts;
  checkShape(app, fonts);
  std::string tabs;
  for (const Json& tab : app.at("children")) {
    for (const Json& modifier : tab.at("modifiers")) {
      if (modifier.at("name") != "tabItem") continue;
      const Json& label = modifier.at("value");
      tabs += label.at("element").get<std::string>() + " " + label.at("title").get<std::string>() + " " +
              label.at("systemImage").get<std::string>() + "|";
    }
  }
  EXPECT_EQ(app.at("element"), "TabView");
  EXPECT_EQ(tabs, "Label Notes square.and.pencil|Label To-Do list.dash|Label Tags tag|");
  EXPECT_EQ(app.at("modifiers").at(0).at("name"), "background");
  EXPECT_EQ(app.at("modifiers").at(0).at("value").at("element"), "HostingWindowFinder");

  std::string plain = ok({"tree", "app"});
  EXPECT_EQ(plain.substr(0, plain.find('\n')), "TabView selectedTab=0 .background(HostingWindowFinder)");
  EXPECT_EQ(plain.substr(plain.find('\n') + 1, 17), "  NavigationView ");
}

TEST_F(CommandLineTest, DeletingAToDoKeepsEveryFinishedMarkOnItsOwnToDo) {
  add("tasks", {"a", "b", "a", "c"});
  ok({"tasks", "toggle", "4"});
  ok({"tasks", "toggle", "2"});
  EXPECT_EQ(clitest::flattened(ok({"tasks", "delete", "1"})), "1 [x] b|2 [x] c");
  EXPECT_EQ(stored("stringTasksFinishedIndices"), "1,0,");
  EXPECT_EQ(inCloud("stringTasksFinishedIndicesFromCloud"), "1,0,");
  EXPECT_EQ(stored("stringTasks"), items({"b", "c"}));
}

TEST_F(CommandLineTest, TwoProcessesAddingAtOnceLoseNothing) {
  auto loop = [this](const std::string& prefix, std::vector<std::string>* failures) {
    for (int i = 1; i <= 50; ++i) {
      Outcome outcome = phone_.run({"notes", "add", prefix + std::to_string(i)});
      if (outcome.code != 0) failures->push_back(prefix + std::to_string(i) + ": " + outcome.err);
    }
  };
  std::vector<std::string> failuresA, failuresB;
  std::thread a(loop, "A", &failuresA);
  std::thread b(loop, "B", &failuresB);
  a.join();
  b.join();
  EXPECT_EQ(joined(failuresA) + joined(failuresB), "");

  std::string listed = ok({"notes", "list"});
  std::set<std::string> texts;
  for (std::size_t start = 0, end; (end = listed.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = listed.substr(start, end - start);
    texts.insert(line.substr(line.find('\t') + 1));
  }
  EXPECT_EQ(texts.size(), 100u) << listed;
  EXPECT_EQ(texts.count("A50") + texts.count("B50") + texts.count("A1") + texts.count("B1"), 4u);
  EXPECT_EQ(inCloud("notesFromCloud"), stored("stringNotes"));
}

TEST_F(CommandLineTest, AnAddOnOneDeviceIsListedOnTheOtherAndTheCloudWinsAtLoad) {
  clitest::Device pad = device("pad");
  okOn(pad, {"store", "set", "stringNotes", items({"pad only"})});
  ok({"notes", "add", "from phone"});
  EXPECT_EQ(clitest::flattened(okOn(pad, {"notes", "list"})), "1 from phone");
  EXPECT_EQ(valueOn(pad, "store", "stringNotes"), items({"from phone"}));

  okOn(pad, {"notes", "add", "from pad"});
  EXPECT_EQ(rows({"notes", "list"}), "1 from phone|2 from pad");
}

TEST_F(CommandLineTest, LocalNotesWithoutACloudCopyAreKeptAndSentWithTheFirstAdd) {
  ok({"store", "set", "stringNotes", items({"old 1", "old 2"})});
  EXPECT_EQ(rows({"notes", "list"}), "1 old 1|2 old 2");
  EXPECT_EQ(refused({"cloud", "get", "notesFromCloud"}).substr(0, 2), "1 ");  // a load sends nothing
  ok({"notes", "add", "new"});
  EXPECT_EQ(inCloud("notesFromCloud"), items({"old 1", "old 2", "new"}));
}

TEST_F(CommandLineTest, HelpAndVersionExit0) {
  Outcome help = phone_.run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("notes"), std::string::npos) << help.out;
  Outcome version = phone_.run({"--version"});
  EXPECT_EQ(std::to_string(version.code) + " " + version.out + version.err, "0 Quillbox 0.1.0\n");
}

TEST(TerminalSafeTest, EscapesControlsAndBrokenUtf8AndKeepsEverythingElse) {
  EXPECT_EQ(terminalSafe("a\tb\r\x7f\x01 é 🔵 \u26AB\uFE0F"), "a\\tb\\r\\x7f\\x01 é 🔵 \u26AB\uFE0F");
  EXPECT_EQ(terminalSafe("\xc2\x85|\xe2\x82|\xed\xa0\x80|\xff"), "\\x85|\\xe2\\x82|\\xed\\xa0\\x80|\\xff");
  EXPECT_EQ(terminalSafe(std::string("nul\0!", 5)), "nul\\x00!");
}

}  // namespace
}  // namespace quillbox
