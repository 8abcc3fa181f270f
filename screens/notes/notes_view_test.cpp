#include "screens/notes/notes_view.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/fault_seam.h"
#include "screens/screen_test_support.h"

namespace quillbox::test {
namespace {

class NotesTest : public ScreenTest<NotesView> {
 protected:
  void add(std::string text) { typeAndSubmit("notesTextField", std::move(text)); }
};

TEST_F(NotesTest, AddsDeletesAndLoadsAsEveryListScreenDoes) {
  EXPECT_EQ(listScenario("notesTextField", "stringNotes", "notesFromCloud",
                         [](NotesView& v, std::int64_t p) { return v.deleteNote(p); }),
            "1 a|2 b|3 a [] set notesFromCloud=a|; set notesFromCloud=a|b|; set notesFromCloud=a|b|a| / "
            "1 b b| set notesFromCloud=b| / 1 b b| [] 0 / []  set notesFromCloud= / []");
}

// Rows searched for keep their positions in the whole list; canonically equivalent texts match.
TEST_F(NotesTest, SearchKeepsPositionsInTheWholeListAndMatchesEquivalentTexts) {
  setLocal("stringNotes", "x|milk|y|Buy Milk|caf\u00e9|cafe\u0301 au lait|cafe|");
  type("searchNotes", "milk");
  std::string seen = rows() + " / ";
  ASSERT_TRUE(tapTrash(0).ok());
  type("searchNotes", "cafe\u0301");
  seen += rows() + " / ";
  perform([&] { return view().deleteNote(3); });  // "café" precomposed equals the decomposed entry only
  type("searchNotes", "");
  EXPECT_EQ(seen + rows(),
            "2 milk / 4 caf\u00e9|5 cafe\u0301 au lait / 1 x|2 y|3 Buy Milk|4 cafe\u0301 au lait|5 cafe");
}

// No cloud copy keeps the local notes until the first edit, which sends them with it.
TEST_F(NotesTest, WithNoCloudCopyTheLocalNotesStayAndAnAddTheStoreRefusesKeepsItsText) {
  setLocal("stringNotes", "b|");
  EXPECT_EQ(view().notes.get(), ItemList{});  // nothing in memory before the first Appear
  EXPECT_EQ(rows() + " " + std::to_string(cloud_->stringForKey("notesFromCloud").has_value()), "1 b 0");
  add("c");
  EXPECT_EQ(cloudWrites(), "set notesFromCloud=b|c|");
  EXPECT_FALSE(window().refresh());
  // A write the store refuses is not shown as done: the typed text stays and the event fails.
  type("notesTextField", "b");
  {
    FaultPlan plan;
    plan.fail(FileCall::write, EIO, "settings.sqlite3");
    EXPECT_FALSE(window().submit(fieldId("notesTextField")).ok());
  }
  EXPECT_EQ(rows() + " / " + view().notesTextField.get() + " / " + cloudWrites(), "1 b|2 c / b / ");
  submit("notesTextField");
  EXPECT_EQ(rows() + " / " + view().notesTextField.get() + " / " + cloudWrites(),
            "1 b|2 c|3 b /  / set notesFromCloud=b|c|b|");
}

TEST_F(NotesTest, WindowsOnOneHomeSeeEachOthersEdits) {
  NotesView second(env());
  std::unique_ptr<Window> other = openWindow(second);
  add("a");
  std::string seen = rowsText(other->tree()) + "/";
  seen += std::to_string(other->refresh()) + " ";
  seen += rowsText(other->tree()) + "/";
  // Another process writes the same home through its own store object.
  ASSERT_TRUE(openStore(home_)->set("stringNotes", stored("a|z|")).ok());
  cloudWrites();
  seen += std::to_string(window().refresh()) + " ";
  seen += rows() + "/" + cloudWrites();
  EXPECT_EQ(seen, "/1 1 a/1 1 a|2 z/set notesFromCloud=a|z|");
}

TEST_F(NotesTest, BadInputIsKeptByteForByteAndMarkupShownAsText) {
  std::string binary;
  for (int c = 1; c < 256; ++c) binary += static_cast<char>(c);
  const std::string invalid = "bad \xff\xfe\xc3 utf8", huge(1 << 20, 'h'),
                    markup = "<img src=x onerror=alert(1)>";
  for (const std::string& text : {invalid, binary, huge, markup}) add(text);
  const std::string s(kItemSeparator);
  EXPECT_EQ(settings_->get("stringNotes"), invalid + s + binary + s + huge + s + markup + s);
  const auto drawn = drawnRows(window().tree());
  const Element& label = drawn.at(3).second.children.at(1);
  ASSERT_NE(label.as<kinds::Text>(), nullptr);
  EXPECT_EQ(label.as<kinds::Text>()->text + (label.as<kinds::Text>()->verbatim ? " verbatim" : ""),
            markup + " verbatim");
  perform([&] { return view().deleteNote(0); });
  perform([&] { return view().deleteNote(1); });
  EXPECT_EQ(settings_->get("stringNotes"), binary + s + markup + s);
}

// A failed read is never a value: the list stays as it was drawn, nothing goes to the cloud, no
// Change runs; the trouble is shown; the first load after recovery takes the cloud copy as usual.
TEST_F(NotesTest, AListThatCannotBeReadForAWhileIsNeitherEmptiedNorSent) {
  setLocal("stringNotes", "a|b|");
  setCloud("notesFromCloud", "a|b|");
  EXPECT_EQ(rows(), "1 a|2 b");
  // Another process writes: the file must be read again.
  ASSERT_TRUE(openStore(home_ / ".")->set("stringNotes", stored("a|b|c|")).ok());
  {
    FaultPlan plan;
    plan.fail(FileCall::read, EIO, "settings.sqlite3");
    EXPECT_FALSE(window().refresh() || window().foreground().ok());
    type("notesTextField", "d");
    EXPECT_FALSE(window().submit(fieldId("notesTextField")).ok());
    EXPECT_EQ(rows() + " / " + cloudWrites() + " / " + view().notesTextField.get(), "1 a|2 b /  / d");
    EXPECT_NE(settings_->health().message().find("\"stringNotes\""), std::string::npos);
  }
  foreground();  // recovered: the change made meanwhile is taken and sent on, as any Change is
  EXPECT_EQ(rows() + " / " + cloudWrites(), "1 a|2 b|3 c / set notesFromCloud=a|b|c|");
  EXPECT_TRUE(settings_->health().ok()) << settings_->health().message();
}

}  // namespace
}  // namespace quillbox::test
