#include "screens/tags/tags_view.h"

#include <gtest/gtest.h>

#include "screens/screen_test_support.h"

namespace quillbox::test {
namespace {

const std::string kRed(kTags[0]);
const std::string kGreen(kTags[1]);
const std::string kBlack(kTags[7]);

class TagsTest : public ScreenTest<TagsView> {
 protected:
  void add(std::string text) { typeAndSubmit("taggedNotesTextField", std::move(text)); }
  Status choose(std::string tag) {
    return window().select(idOf([](const Element& e) { return e.kind() == ElementKind::Picker; }),
                           std::move(tag));
  }
};

// The picker takes only the eight tags (the recorded trees' ones, tree_golden_test); the black one is
// two scalars, and U+26AB alone is not it.
TEST_F(TagsTest, DeletingRemovesEqualEntriesUnderTheSameTagOnlyAndThePickerTakesOnlyTheEightTags) {
  add("a");
  add("a");
  ASSERT_TRUE(choose(kGreen).ok());
  add("a");
  ASSERT_TRUE(choose(kRed).ok());
  EXPECT_EQ(rows(), "🔴  a|🔴  a");
  ASSERT_TRUE(tapTrash(1).ok());
  EXPECT_EQ(local("stringTaggedNotes"), "🟢  a|");
  EXPECT_FALSE(choose("red").ok() || choose("⚫").ok());
  EXPECT_EQ(view().selectedTag.get(), kRed);
  ASSERT_TRUE(choose(kBlack).ok());
  add("b");
  add("");
  EXPECT_EQ(local("stringTaggedNotes"), "🟢  a|⚫️  b|⚫️  |");
  setLocal("stringTaggedNotes", "⚫ without the selector|⚫️  b|");
  ASSERT_TRUE(window().refresh());
  EXPECT_EQ(rows(), "⚫️  b");
}

TEST_F(TagsTest, TheChosenTagAndTheSearchBothFilter) {
  add("go 🟢");
  add("Milk");
  add("xNOTES_SEPARATORy🔴");  // the second piece has no tag prefix
  std::string seen = rows();
  cloudWrites();
  for (const char* text : {"  ", "milk", "🟢"}) {
    type("searchTaggedNotes", text);
    seen += " / " + rows();
  }
  ASSERT_TRUE(choose(kGreen).ok());  // the search stays
  seen += " / " + rows();
  type("searchTaggedNotes", "");
  // choosing a tag and searching write nothing
  EXPECT_EQ(seen + " / " + rows() + " [" + cloudWrites() + "]",
            "🔴  go 🟢|🔴  Milk|🔴  x|y🔴 / 🔴  go 🟢|🔴  Milk|🔴  x /  / "
            "🔴  go 🟢 / 🔴  go 🟢 / 🔴  go 🟢 []");
}

TEST_F(TagsTest, TypedAddressesAreTextAndABareOneShowsOnlyUnderItsTag) {
  add("https://x.org");
  add("zNOTES_SEPARATORhttps://x.org/#🔴");
  add("NOTES_SEPARATORhttps://bücher.example/🔴");  // a Unicode host is not opened
  EXPECT_EQ(rows(), "🔴  https://x.org|🔴  z|https://x.org/#🔴 (link)|(no label)");
  ASSERT_TRUE(tapTrash(3).ok());  // the row with no label still deletes
  ASSERT_TRUE(tapTrash(2).ok());
  EXPECT_EQ(local("stringTaggedNotes"), "🔴  https://x.org|🔴  z|🔴  |");  // the tag-only entry stays
  ASSERT_TRUE(choose(kGreen).ok());
  EXPECT_EQ(rows(), "");
}

TEST_F(TagsTest, AddsDeletesAndLoadsAsEveryListScreenDoes) {
  EXPECT_EQ(listScenario("taggedNotesTextField", "stringTaggedNotes", "taggedNotesFromCloud",
                         [](TagsView& v, std::int64_t p) { return v.deleteTaggedNote(p); }),
            "🔴  a|🔴  b|🔴  a [] set taggedNotesFromCloud=🔴  a|; set taggedNotesFromCloud=🔴  a|🔴  b|; "
            "set taggedNotesFromCloud=🔴  a|🔴  b|🔴  a| / 🔴  b 🔴  b| set taggedNotesFromCloud=🔴  b| / "
            "🔴  b 🔴  b| [] 0 / []  set taggedNotesFromCloud= / []");
}

}  // namespace
}  // namespace quillbox::test
