// history, restore, export and import, run as the built program.

#include "app/cli/history_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "app/cli/cli_test_support.h"

namespace quillbox::clitest {
namespace {

using Json = nlohmann::ordered_json;

const char* const kListKeys[] = {"stringNotes", "stringTasks", "stringTasksFinishedIndices",
                                 "stringTaggedNotes"};

class HistoryCommandsTest : public CommandLineFixture {
 protected:
  void store(const std::string& key, const std::string& value) {
    okOn(phone_, {"store", "set", key, "-"}, value);
  }

  Json versions(const std::string& list) { return Json::parse(ok({"history", list, "--json"})); }
  // A version's change as "+a +b -c".
  static std::string change(const Json& version) {
    std::string out;
    for (const char* side : {"added", "removed"})
      for (const auto& entry : version.at(side).at("first"))
        out += (out.empty() ? "" : " ") + std::string(side[0] == 'a' ? "+" : "-") + entry.get<std::string>();
    return out;
  }
};

TEST_F(HistoryCommandsTest, AListReplacedByACloudLoadIsRestoredAndTheCloudThenHoldsIt) {
  store("stringNotes", items({"b"}));
  ok({"cloud", "set", "notesFromCloud", items({"a"})});
  EXPECT_EQ(flattened(ok({"notes", "list"})), "1 a");  // the load replaced b, as sync wants
  EXPECT_EQ(stored("stringNotes"), items({"a"}));

  Json kept = versions("notes");
  ASSERT_GE(kept.size(), 2u) << kept.dump();
  EXPECT_EQ(change(kept[0]), "+a -b");  // what the load did to the list b
  std::string b = std::to_string(kept[0].at("number").get<long>());
  EXPECT_EQ(ok({"restore", "notes", b}), "notes: restored version " + b + "\n");
  EXPECT_EQ(stored("stringNotes") + " " + inCloud("notesFromCloud"), items({"b"}) + " " + items({"b"}));

  // The restore can itself be undone: the a it replaced is the newest version.
  Json after = versions("notes");
  EXPECT_EQ(after[0].at("cause").get<std::string>() + " " + change(after[0]), "restore +b -a");
  std::string a = std::to_string(after[0].at("number").get<long>());
  ok({"restore", "notes", a});
  EXPECT_EQ(stored("stringNotes") + " " + inCloud("notesFromCloud"), items({"a"}) + " " + items({"a"}));
  EXPECT_EQ(ok({"restore", "notes", a}), "notes: already holds version " + a + "\n");
}

TEST_F(HistoryCommandsTest, TheListingIsNewestFirstShortAndSafeForATerminal) {
  store("stringNotes", items({"keep"}));
  store("stringNotes",
        items({"keep", "\x1b[31mred", std::string(100, 'x') + "\xc3\xa9\xc3\xa9", "c", "d", "e"}));
  store("stringNotes", items({"e"}));
  // Without the number, the time and the cause (the command line's own), which vary.
  const std::string shown =
      std::regex_replace(ok({"history", "notes"}), std::regex("^([^\t]*\t){3}", std::regex::multiline), "");
  const std::string cut = std::string(40, 'x') + "\u2026";
  EXPECT_EQ(shown, "6 entries\t+0 -5 -\"keep\" -\"\\x1b[31mred\" -\"" + cut +
                       "\" -2 more\n1 entry\t+5 -0 +\"\\x1b[31mred\" +\"" + cut +
                       "\" +\"c\" +2 more\n0 entries\t+1 -0 +\"keep\"\n");

  Json kept = versions("notes");
  std::string keys;
  for (const auto& item : kept[0].items()) keys += item.key() + " ";
  EXPECT_EQ(keys + kept[0].at("entries").dump(), "number time cause bytes entries added removed 6");
  EXPECT_EQ(kept[0].at("removed").dump(),
            R"({"count":5,"first":["keep","\u001b[31mred",")" + std::string(80, 'x') + R"(…"]})");
  EXPECT_EQ(kept[2].at("time").get<std::string>().size(), 20u);  // 2024-05-01T12:00:00Z

  EXPECT_EQ(ok({"history", "tags"}) + ok({"history", "tags", "--json"}), "[]\n");
}

TEST_F(HistoryCommandsTest, ABadRestoreOrImportAndAFileThatCannotBeReadChangeNothing) {
  ok({"notes", "add", "a"});
  ok({"notes", "add", "b"});
  ok({"tasks", "add", "t"});
  ok({"tags", "add", "mine too"});
  const std::string tasksVersion = std::to_string(versions("tasks").at(0).at("number").get<long>());
  const std::string before = everything();
  for (std::string bad : {"x", "0", "-1", "1.5", "", " 1", "99999999", "99999999999999999999"})
    EXPECT_EQ(refused({"restore", "notes", "--", bad}).substr(0, 28), "2 quillbox: restore notes: n") << bad;
  EXPECT_EQ(refused({"restore", "notes", tasksVersion}),
            "2 quillbox: restore notes: no version " + tasksVersion + " (see quillbox history notes)");
  EXPECT_EQ(refused({"restore", "lists", "1"}).substr(0, 2), "2 ");
  EXPECT_EQ(refused({"history", "everything"}).substr(0, 2), "2 ");
  // One good list beside a bad one: nothing is imported. (The document's rules: history_export_test.)
  for (const std::string document :
       {"not json", R"({"lists": {"notes": {"text": "replaced"}, "tags": {"base64": "%%%%"}}})"})
    EXPECT_EQ(refusedOn(phone_, {"import", "-"}, document).substr(0, 34),
              "2 quillbox: import: standard input")
        << document;
  EXPECT_EQ(refused({"import", file("missing.json")}).substr(0, 33), "1 quillbox: import: cannot read /");
  EXPECT_EQ(refused({"export", file("no-such-folder/x.json")}).substr(0, 33),
            "1 quillbox: export: cannot write ");
  EXPECT_EQ(everything(), before);
}

TEST_F(HistoryCommandsTest, ExportThenImportOnAFreshHomeGivesIdenticalStrings) {
  std::string binary;
  for (int c = 0; c < 256; ++c) binary += static_cast<char>(c);  // every byte, NUL included: not UTF-8
  ok({"notes", "add", std::string("x") + kSep + "y"});           // the separator typed inside a note
  ok({"notes", "add", kSep});
  store("stringTasks", items({"bytes " + binary, "m\xc3\xa9"}));
  store("stringTasksFinishedIndices", "0,1,7,");
  ok({"tags", "add", "--tag", "blue", "sky 🔵"});
  ok({"tags", "add", "--tag", "black", ""});
  const std::string exported = file("phone.json");
  ok({"export", exported});
  EXPECT_EQ(ok({"export"}), fileContents(exported));

  // The laptop had notes of its own: the import replaces them, and keeps them as a version.
  Device laptop = device("laptop", "laptop-cloud");
  okOn(laptop, {"notes", "add", "laptop note"});
  EXPECT_EQ(okOn(laptop, {"import", exported}),
            "notes: imported\ntasks: imported\nmarks: imported\ntags: imported\n");
  std::string differ;
  for (const char* key : kListKeys) differ += valueOn(laptop, "store", key) != stored(key) ? key : "";
  differ += valueOn(laptop, "cloud", "tasksFromCloud") != stored("stringTasks") ? "tasksFromCloud" : "";
  differ += okOn(laptop, {"export"}) != fileContents(exported) ? "export" : "";
  EXPECT_EQ(differ, "");
  Json laptopNotes = Json::parse(okOn(laptop, {"history", "notes", "--json"}));
  EXPECT_EQ(laptopNotes[0].at("cause").get<std::string>() + " " + laptopNotes[0].at("removed").dump(),
            R"(restore {"count":1,"first":["laptop note"]})");

  // Importing the same document again changes nothing; one with versions imports the same lists.
  EXPECT_EQ(okOn(laptop, {"import", "-"}, ok({"export", "--history"})),
            "notes: unchanged\ntasks: unchanged\nmarks: unchanged\ntags: unchanged\n");
}

}  // namespace
}  // namespace quillbox::clitest
