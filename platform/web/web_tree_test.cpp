#include "platform/web/web_tree.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/web/web_json.h"

namespace quillbox::web {
namespace {

// A screen-like tree over a list the test edits: a field, then one row per entry with a trash icon.
class TreeMirrorTest : public ::testing::Test {
 protected:
  Element build() {
    std::vector<Element> list;
    for (std::size_t p = 0; p < entries_.size(); ++p) {
      list.push_back(HStack(Text(entries_[p], true).font(TextStyle::headline), Spacer(),
                            Image("trash").foregroundColor(Color::red).onTapGesture([] { return Status::Ok(); }))
                         .keyed(std::to_string(p)));
    }
    Binding binding{"field", [this] { return field_; }, [this](const std::string& text) { field_ = text; }};
    Element root = Form({Section(HStack(Text("Header", false)), {TextField("Type in here", binding), ForEach(std::move(list))})});
    assignIds(root);
    return root;
  }

  // The ids of the records the next diff sends, joined by "|".
  std::string diffIds() {
    tree_ = build();
    nlohmann::json sent = nlohmann::json::parse(mirror_.diff(tree_));
    std::string ids;
    for (std::size_t i = 0; i < sent.size(); ++i) ids += (i == 0 ? "" : "|") + sent[i]["i"].get<std::string>();
    return ids;
  }

  const Element& row(std::size_t position) { return *findElement(tree_, "/0/1/" + std::to_string(position)); }

  std::vector<std::string> entries_;
  std::string field_;
  TreeMirror mirror_;
  Element tree_;
};

TEST_F(TreeMirrorTest, TheFirstDiffSendsEverythingParentsFirstAndThenOnlyWhatChanged) {
  entries_ = {"a", "b"};
  EXPECT_EQ(diffIds(), "|/0|/0/header|/0/header/0|/0/0|/0/1|/0/1/0|/0/1/0/0|/0/1/0/1|/0/1/0/2|/0/1/1|/0/1/1/0|"
                       "/0/1/1/1|/0/1/1/2");
  EXPECT_EQ(diffIds(), "");
  entries_ = {"a", "B"};
  EXPECT_EQ(diffIds(), "/0/1/1/0");
  field_ = "typed";
  EXPECT_EQ(diffIds(), "/0/0");
}

TEST_F(TreeMirrorTest, ARemovedRowIsToldByItsParentsKeysAndComesBackByThemUnlessItChanged) {
  entries_ = {"a", "b", "c"};
  diffIds();
  entries_ = {"a", "b"};
  EXPECT_EQ(diffIds(), "/0/1");
  entries_ = {"a", "b", "c"};
  EXPECT_EQ(diffIds(), "/0/1");
  entries_ = {"a", "b"};
  diffIds();
  entries_ = {"a", "b", "C"};
  EXPECT_EQ(diffIds(), "/0/1|/0/1/2/0");
  EXPECT_FALSE(mirror_.oversized());
  mirror_.reset();
  EXPECT_EQ(diffIds().substr(0, 6), "|/0|/0");
}

TEST_F(TreeMirrorTest, ARowIsUnchangedSinceARevisionOnlyWhenNothingInItMovedAfterIt) {
  entries_ = {"a", "b"};
  diffIds();
  std::uint64_t first = mirror_.revision();
  EXPECT_TRUE(mirror_.unchangedSince(row(0), first));

  entries_ = {"a", "x"};  // the second row changes, the first stays
  diffIds();
  EXPECT_TRUE(mirror_.unchangedSince(row(0), first));
  EXPECT_FALSE(mirror_.unchangedSince(row(1), first));
  EXPECT_TRUE(mirror_.unchangedSince(row(1), mirror_.revision()));

  entries_ = {"y", "x"};  // changed in the window but not sent yet
  tree_ = build();
  EXPECT_FALSE(mirror_.unchangedSince(row(0), mirror_.revision()));
}

TEST_F(TreeMirrorTest, RecordsCarryFieldTextPickerSelectionAndModifierContents) {
  std::string selected = "b";
  Binding selection{"choice", [&] { return selected; }, [&](const std::string& t) { selected = t; }};
  Element picker = Picker("", selection, ForEach({Text("a", false).keyed("a"), Text("b", false).keyed("b")}));
  Element root = HStack(std::move(picker)).navigationBarTitle(Text("Title", true));
  assignIds(root);
  std::string out;
  appendElementRecord(out, root);
  EXPECT_EQ(out, R"({"i":"","e":"HStack","p":{"alignment":"center","spacing":null},)"
                 R"("m":[["navigationBarTitle",{"e":"Text","p":{"text":"Title","verbatim":true}}]],"c":["0"]})");
  out.clear();
  appendElementRecord(out, root.children[0]);
  EXPECT_EQ(nlohmann::json::parse(out)["p"].dump(), R"({"label":"","selection":"b"})");
}

TEST(WebJson, BadUtf8ControlsAndMarkupTravelAsSafeOneLineJsonAndComeBackAsTheSameText) {
  std::string out;
  appendJsonString(out, std::string("<img src=x onerror=alert(1)>\n\t\"q\"\\ \x01 \xe2\x80\xa8 caf\xc3\xa9 \xff\xc3 \xed\xa0\x80 \xf0\x9f\x94\xb4"));
  EXPECT_EQ(out.find('\n'), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(out).get<std::string>(),
            "<img src=x onerror=alert(1)>\n\t\"q\"\\ \x01 \xe2\x80\xa8 caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd "
            "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd \xf0\x9f\x94\xb4");
  EXPECT_NE(out.find("\\u2028"), std::string::npos);
}

}  // namespace
}  // namespace quillbox::web
