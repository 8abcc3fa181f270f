#include "platform/page/web_tree.h"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/page/web_json.h"

namespace quillbox::web {
namespace {

// A screen-like tree over a list the test edits: a field, then a list of rows, one per entry with a
// trash icon, whose fingerprint is the entry. It counts the rows it builds.
class TreeMirrorTest : public ::testing::Test {
 protected:
  Element build() {
    auto list = std::make_shared<const std::vector<std::string>>(entries_);
    Rows rows;
    rows.count = list->size();
    rows.shown = [list](std::size_t p) { return (*list)[p] != "hidden"; };
    rows.row = [list, this](std::size_t p) {
      ++built_;
      return HStack(Text((*list)[p], true).font(TextStyle::headline), Spacer(),
                    Image("trash").foregroundColor(Color::red).onTapGesture([] { return Status::Ok(); }));
    };
    rows.fingerprint = [list](std::size_t p) { return std::hash<std::string>{}((*list)[p]); };
    Binding binding{"field", [this] { return field_; }, [this](const std::string& text) { field_ = text; }};
    return Form(Elements(Section(HStack(Text("Header", false)),
                                 Elements(TextField("Type in here", binding), ForEach(std::move(rows))))));
  }

  // What the next diff sends: each record's id, and a list's "n" and "o" after its id, "|" between.
  std::string diff() {
    nlohmann::json sent = nlohmann::json::parse(mirror_.diff(build()));
    std::string out;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      out += (i == 0 ? "" : "|") + sent[i]["i"].get<std::string>();
      if (sent[i].contains("n"))
        out += " n=" + sent[i]["n"].dump() + " o=" + sent[i]["o"].dump() + " c=" + sent[i]["c"].dump();
    }
    return out;
  }

  std::vector<std::string> entries_;
  std::string field_;
  TreeMirror mirror_;
  int built_ = 0;
};

TEST_F(TreeMirrorTest, TheFirstDiffSendsEverythingParentsFirstAndThenOnlyWhatChanged) {
  entries_ = {"a", "b"};
  EXPECT_EQ(diff(),
            R"(|/0|/0/header|/0/header/0|/0/0|/0/1 n=2 o=0 c=["0","1"]|/0/1/0|/0/1/0/0|/0/1/0/1|/0/1/0/2|)"
            R"(/0/1/1|/0/1/1/0|/0/1/1/1|/0/1/1/2)");
  EXPECT_EQ(diff(), "");
  entries_ = {"a", "B"};
  EXPECT_EQ(diff(), "/0/1/1|/0/1/1/0|/0/1/1/1|/0/1/1/2");
  field_ = "typed";
  EXPECT_EQ(diff(), "/0/0");
  mirror_.reset();
  EXPECT_EQ(diff().substr(0, 9), "|/0|/0/he");
}

TEST_F(TreeMirrorTest, OnlyTheRowsInViewAreBuiltAndEachOnlyWhenNewOrChanged) {
  for (int i = 0; i < 10000; ++i) entries_.push_back("entry " + std::to_string(i));
  mirror_.setViewport("/0/1", 0, 3);
  diff();
  EXPECT_EQ(built_, 3);
  // Scrolling to the end sends the last rows and the list's place; past the end gives the last ones.
  mirror_.setViewport("/0/1", 9998, 10010);
  EXPECT_EQ(diff().substr(0, 44), R"(/0/1 n=10000 o=9988 c=["9988","9989","9990",)");
  EXPECT_EQ(built_, 15);
  // A search that hides rows counts only the shown ones; rows the page holds are not sent again.
  built_ = 0;
  mirror_.setViewport("/0/1", 0, 3);
  entries_[1] = "hidden";
  EXPECT_EQ(diff(), R"(/0/1 n=9999 o=0 c=["0","2","3"]|/0/1/3|/0/1/3/0|/0/1/3/1|/0/1/3/2)");
  EXPECT_EQ(built_, 1);
  entries_[1] = "entry 1";
  EXPECT_EQ(diff(), R"(/0/1 n=10000 o=0 c=["0","1","2"])");
  EXPECT_EQ(built_, 1);
  // A page asks for no more than a few hundred rows at once.
  mirror_.setViewport("/0/1", 0, 1000000);
  diff();
  EXPECT_EQ(built_, 1 + static_cast<int>(Viewport::kMostRows) - 4);
}

TEST_F(TreeMirrorTest, ADiffBringsItsShareOfNewRowsFirstInViewAndTheNextOnesTheRest) {
  for (int i = 0; i < 10; ++i) entries_.push_back("e" + std::to_string(i));
  mirror_.setMostNewRows(2);
  mirror_.setViewport("/0/1", 0, 5);
  // Each diff's list record (its "n", "o" and "c") and the rows it sends, then whether more are owed.
  auto step = [this] {
    std::string out, record;
    std::istringstream sent(diff());
    while (std::getline(sent, record, '|'))
      if (record.starts_with("/0/1 ") || (record.starts_with("/0/1/") && record.rfind('/') == 4))
        out += record.substr(5) + " ";
    return out + (mirror_.owesRows() ? "owes" : "done");
  };
  std::string seen;
  for (int i = 0; i < 3; ++i) seen += step() + "\n";
  EXPECT_EQ(seen,
            "n=10 o=0 c=[\"0\",\"1\"] 0 1 owes\n"
            "n=10 o=0 c=[\"0\",\"1\",\"2\",\"3\"] 2 3 owes\n"
            "n=10 o=0 c=[\"0\",\"1\",\"2\",\"3\",\"4\"] 4 done\n");
}

TEST_F(TreeMirrorTest, RecordsCarryFieldTextPickerSelectionAndModifierContents) {
  std::string selected = "b";
  Binding selection{"choice", [&] { return selected; }, [&](const std::string& t) { selected = t; }};
  Element picker =
      Picker("", selection, ForEach(Elements(Text("a", false).keyed("a"), Text("b", false).keyed("b"))));
  Element root = HStack(std::move(picker)).navigationBarTitle(Text("Title", true));
  std::string out;
  appendElementRecord(out, root, "");
  EXPECT_EQ(out,
            R"({"i":"","e":"HStack","p":{"alignment":"center","spacing":null},)"
            R"("m":[["navigationBarTitle",{"e":"Text","p":{"text":"Title","verbatim":true}}]],"c":["0"]})");
  out.clear();
  appendElementRecord(out, root.children[0], "/0");
  EXPECT_EQ(nlohmann::json::parse(out)["p"].dump(), R"({"label":"","selection":"b"})");
}

// The writer itself is checked against a JSON library with the tree's renderer; the page's form
// differs only in escaping the line separators.
TEST(WebJson, OneLineWithLineSeparatorsEscapedAndACutSequenceAsOneReplacement) {
  std::string out;
  appendJsonString(out, "a\n\xe2\x80\xa8\xe2\x82");
  EXPECT_EQ(out, "\"a\\n\\u2028\xef\xbf\xbd\"");
}

}  // namespace
}  // namespace quillbox::web
