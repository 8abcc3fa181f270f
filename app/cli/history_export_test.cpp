#include "app/cli/history_export.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace quillbox {
namespace {

std::string read(const std::string& document) {
  auto lists = readListsDocument(document, "FILE");
  if (!lists.ok()) return lists.status().message();
  std::string out;
  for (const auto& [list, value] : lists.value()) out += std::string(list->name) + "=" + value + "|";
  return out;
}

// Read back byte for byte by the import: app/cli/history_commands_test.cpp.
TEST(ListsDocument, EveryStringIsWrittenAsTextOrBase64AndVersionsCarryTheirNumbersAndCauses) {
  std::string bytes;
  for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);  // NUL included: not UTF-8
  const std::vector<ExportedList> lists = {
      {&kNotesList, "caf\u00e9 \U0001F534NOTES_SEPARATOR", {}},
      {&kTasksList, bytes, {}},
      {&kMarksList, "", {}},
      {&kTagsList, "new", {{7, 1714564800000, "restore", "\xff\xfeoldNOTES_SEPARATOR"}}},
  };
  const std::string document = writeListsDocument(lists, true);
  const auto parsed = nlohmann::ordered_json::parse(document);
  EXPECT_EQ(parsed.at("lists").dump(), R"({"notes":{"text":"café 🔴NOTES_SEPARATOR"},"tasks":{"base64":")" +
                                           parsed.at("lists").at("tasks").at("base64").get<std::string>() +
                                           R"("},"marks":{"text":""},"tags":{"text":"new"}})");
  EXPECT_EQ(
      parsed.at("history").at("tags").dump(),
      R"([{"number":7,"time":"2024-05-01T12:00:00Z","cause":"restore","base64":"//5vbGROT1RFU19TRVBBUkFUT1I="}])");
  EXPECT_EQ(parsed.at("history").at("notes").dump(), "[]");
  EXPECT_TRUE(document.find("\"history\"") == document.rfind("\"history\"") &&
              writeListsDocument(lists, false).find("history") == std::string::npos);
}

TEST(ListsDocument, AnImportTakesOnlyAWellFormedDocumentAndSaysWhatIsWrong) {
  const std::string good = R"("notes": {"text": "a"})";
  const std::pair<std::string, std::string> cases[] = {
      {"{\"lists\": {" + good + ", \"tags\": {\"base64\": \"YQ==\"}}, \"history\": {\"x\": [1]}}",
       "notes=a|tags=a|"},
      {"{\"format\": \"quillbox-lists\", \"version\": 1, \"lists\": {" + good + "}}", "notes=a|"},
      {"", "FILE is not a JSON document: "},
      {"[]", "FILE: not a Quillbox export (not an object)"},
      {"{}", "FILE: no \"lists\" object"},
      {R"({"lists": {}})", "FILE: \"lists\" names no list"},
      {R"({"lists": {"notes": "plain"}})", "FILE: lists.notes: not an object with \"text\" or \"base64\""},
      {R"({"lists": {"notes": {"text": 1}}})", "FILE: lists.notes: \"text\" is not a string"},
      {R"({"lists": {"notes": {}}})", "FILE: lists.notes: needs exactly one of \"text\" and \"base64\""},
      {R"({"lists": {"notes": {"text": "a", "base64": "YQ=="}}})",
       "FILE: lists.notes: needs exactly one of \"text\" and \"base64\""},
      {R"({"lists": {"notes": {"base64": "YQ"}}})",
       "FILE: lists.notes: \"base64\" is not padded standard base64"},
      {R"({"lists": {"notes": {"base64": "YR=="}}})",
       "FILE: lists.notes: \"base64\" is not padded standard base64"},
      {"{\"lists\": {\"notes\": {\"text\": \"\xff\"}}}", "FILE is not a JSON document: "},
      {"{\"lists\": {" + good + ", \"note\\u001b\": {\"text\": \"a\"}}}",
       "FILE: no list named note\\x1b (notes, tasks, marks or tags)"},
      {"{\"format\": \"something else\", \"lists\": {" + good + "}}",
       "FILE: not a Quillbox export (\"format\" is not \"quillbox-lists\")"},
      {"{\"version\": 2, \"lists\": {" + good + "}}",
       "FILE: a version of the format this program does not know"},
      {"{\"lists\": {" + good + "}, \"history\": " + std::string(100, '[') + std::string(100, ']') + "}",
       "FILE: not a Quillbox export (nested deeper than 64)"},
  };
  for (const auto& [document, outcome] : cases)
    EXPECT_EQ(read(document).substr(0, outcome.size()), outcome) << document;
}

}  // namespace
}  // namespace quillbox
