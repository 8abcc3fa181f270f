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
  void search(std::string text) { type("searchTaggedNotes", std::move(text)); }
  std::string pickerId() {
    return idOf([](const Element& e) { return e.kind() == ElementKind::Picker; });
  }
  Status choose(std::string tag) { return window().select(pickerId(), std::move(tag)); }
};

TEST_F(TagsTest, TagOnlyEntriesAreStoredButNeverShown) {
  add("");
  EXPECT_EQ(rows(), "");
  add(" ");
  add("a");
  EXPECT_EQ(rows(), "🔴   |🔴  a");
  ASSERT_TRUE(tapTrash(1).ok());
  ASSERT_TRUE(tapTrash(0).ok());
  EXPECT_EQ(local("stringTaggedNotes"), "🔴  |");
  EXPECT_EQ(cloudWrites(),
            "set taggedNotesFromCloud=🔴  |; set taggedNotesFromCloud=🔴  |🔴   |; "
            "set taggedNotesFromCloud=🔴  |🔴   |🔴  a|; set taggedNotesFromCloud=🔴  |🔴   |; "
            "set taggedNotesFromCloud=🔴  |");
}

TEST_F(TagsTest, DeletingRemovesEqualEntriesUnderTheSameTagOnly) {
  add("a");
  add("a");
  ASSERT_TRUE(choose(kGreen).ok());
  add("a");
  ASSERT_TRUE(choose(kRed).ok());
  EXPECT_EQ(rows(), "🔴  a|🔴  a");
  ASSERT_TRUE(tapTrash(1).ok());
  EXPECT_EQ(local("stringTaggedNotes"), "🟢  a|");
}

TEST_F(TagsTest, TheChosenTagAndTheSearchBothFilter) {
  add("go 🟢");
  add("Milk");
  add("xNOTES_SEPARATORy🔴");  // the second piece has no tag prefix
  EXPECT_EQ(rows(), "🔴  go 🟢|🔴  Milk|🔴  x|y🔴");
  search("  ");
  EXPECT_EQ(rows(), "🔴  go 🟢|🔴  Milk|🔴  x");
  search("milk");
  EXPECT_EQ(rows(), "");
  search("🟢");
  EXPECT_EQ(rows(), "🔴  go 🟢");
  cloudWrites();
  ASSERT_TRUE(choose(kGreen).ok());  // the search stays
  EXPECT_EQ(rows(), "🔴  go 🟢");
  search("");
  EXPECT_EQ(rows(), "🔴  go 🟢");
  EXPECT_EQ(cloudWrites(), "");  // choosing a tag and searching write nothing
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

TEST_F(TagsTest, TheBlackTagOfTwoScalarsWorks) {
  ASSERT_TRUE(choose(kBlack).ok());
  add("b");
  add("");
  EXPECT_EQ(local("stringTaggedNotes"), "⚫️  b|⚫️  |");
  EXPECT_EQ(rows(), "⚫️  b");
  setLocal("stringTaggedNotes", "⚫ without the selector|⚫️  b|");  // U+26AB alone is not the tag
  ASSERT_TRUE(window().refresh());
  EXPECT_EQ(rows(), "⚫️  b");
}

// The eight tags it offers are the recorded trees' (tree_golden_test).
TEST_F(TagsTest, ThePickerTakesOnlyTheEightTags) {
  EXPECT_FALSE(choose("red").ok());
  EXPECT_FALSE(choose("⚫").ok());
  EXPECT_EQ(view().selectedTag.get(), kRed);
}

TEST_F(TagsTest, LoadTakesTheCloudCopy) {
  setLocal("stringTaggedNotes", "🔴  b|");
  setCloud("taggedNotesFromCloud", "");
  EXPECT_EQ(rows(), "");
  EXPECT_EQ(cloudWrites(), "set taggedNotesFromCloud=");
  setCloud("taggedNotesFromCloud", "🔴  a|🟢  |");
  foreground();
  EXPECT_EQ(rows(), "🔴  a");
  EXPECT_EQ(view().taggedNotes.get(), ItemList{"🔴  a"});
  appear();
  EXPECT_EQ(cloudWrites(), "set taggedNotesFromCloud=🔴  a|🟢  |");
}

TEST_F(TagsTest, StalePositionsAndBadBytesAreSafe) {
  add("\xff\xfe");
  add("<img src=x onerror=alert(1)>");
  perform([&] { return view().deleteTaggedNote(7); });
  perform([&] { return view().deleteTaggedNote(-1); });
  EXPECT_EQ(rows(), "🔴  \xff\xfe|🔴  <img src=x onerror=alert(1)>");
  perform([&] { return view().deleteTaggedNote(0); });
  EXPECT_EQ(local("stringTaggedNotes"), "🔴  <img src=x onerror=alert(1)>|");
}

}  // namespace
}  // namespace quillbox::test
