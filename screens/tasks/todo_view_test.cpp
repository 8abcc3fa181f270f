#include "screens/tasks/todo_view.h"

#include <gtest/gtest.h>

#include "screens/screen_test_support.h"

namespace quillbox::test {
namespace {

class ToDoTest : public ScreenTest<ToDoView> {
 protected:
  void add(std::string text) { typeAndSubmit("tasksTextField", std::move(text)); }
  void toggle(std::int64_t position) {
    perform([&] { return view().toggleFinished(position); });
  }
  void remove(std::int64_t position) {
    perform([&] { return view().deleteTask(position); });
  }
  void setLocals(std::string_view tasks, std::string_view marks) {
    setLocal("stringTasks", tasks);
    setLocal("stringTasksFinishedIndices", marks);
  }
  // The marks in memory, then as stored: "[2,0] 2,0,".
  std::string marks() {
    std::string out;
    for (std::int64_t mark : view().tasksFinishedIndices.get())
      out += (out.empty() ? "" : ",") + std::to_string(mark);
    return "[" + out + "] " + local("stringTasksFinishedIndices");
  }
};

TEST_F(ToDoTest, TogglesKeepMarksAndTheirStringInStep) {
  std::string seen;
  for (int p : {2, 0, 2, 2}) {
    toggle(p);
    seen += marks() + " / ";
  }
  EXPECT_EQ(seen + cloudWrites(),
            "[2] 2, / [2,0] 2,0, / [0] 0, / [0,2] 0,2, / set stringTasksFinishedIndicesFromCloud=2,; "
            "set stringTasksFinishedIndicesFromCloud=2,0,; set stringTasksFinishedIndicesFromCloud=0,; "
            "set stringTasksFinishedIndicesFromCloud=0,2,");
  view().tasks.set({"sentinel"});  // a toggle writes only the marks and rebuilds no to-dos
  toggle(0);
  EXPECT_EQ((view().tasks.get() == ItemList{"sentinel"} ? "kept " : "rebuilt ") + cloudWrites(),
            "kept set stringTasksFinishedIndicesFromCloud=2,");
}

TEST_F(ToDoTest, UndoTakesBackOneTapAtATimeAndAToDoComesBackWithItsMark) {
  auto offer = [&] { return window().undoOffer() ? window().undoOffer()->text : std::string("(none)"); };
  auto undo = [&] { return window().undo(window().undoOffer() ? window().undoOffer()->id : 0); };
  for (const char* text : {"a", "b", "a"}) add(text);
  ASSERT_TRUE(tapStatus(2).ok());
  ASSERT_TRUE(tapTrash(0).ok());  // both a's, and the mark on the second
  EXPECT_EQ(offer(), "Deleted \"a\" and 1 equal to-do");
  cloudWrites();
  ASSERT_TRUE(undo().ok());
  EXPECT_EQ(rows() + " / " + marks() + " / " + offer() + " / " + cloudWrites(),
            "[ ] a|[ ] b|[x] a / [2] 2, / Marked \"a\" finished / set tasksFromCloud=a|b|a|; "
            "set stringTasksFinishedIndicesFromCloud=2,");
  ASSERT_TRUE(undo().ok());
  EXPECT_EQ(rows() + " / " + marks() + " / " + offer(), "[ ] a|[ ] b|[ ] a / []  / Added \"a\"");
  EXPECT_EQ(window().undo(99).code(), Status::Code::conflict);
}

TEST_F(ToDoTest, MarksPastTheEndWaitForTheirToDoAndDuplicatesGoTogether) {
  setLocals("a|b|", "5,3,3,");
  std::string seen = rows();  // the first Appear loads the marks
  seen += " / " + marks() + " / ";
  toggle(3);
  seen += marks() + " / ";
  for (const char* text : {"c", "d", "e", "f"}) add(text);
  EXPECT_EQ(seen + rows(), "[ ] a|[ ] b / [5,3,3] 5,3,3, / [5] 5, / [ ] a|[ ] b|[ ] c|[ ] d|[ ] e|[x] f");
}

TEST_F(ToDoTest, AddKeepsMarksAndAnEmptyAddStillWritesTheCloud) {
  add("a");
  add("b");
  ASSERT_TRUE(tapStatus(1).ok());
  add("c");
  add("");
  add("xNOTES_SEPARATORy");
  EXPECT_EQ(
      rows() + " / " + cloudWrites(),
      "[ ] a|[x] b|[ ] c|[ ] x|[ ] y / set tasksFromCloud=a|; set tasksFromCloud=a|b|; "
      "set stringTasksFinishedIndicesFromCloud=1,; set tasksFromCloud=a|b|c|; set tasksFromCloud=a|b|c||; "
      "set tasksFromCloud=a|b|c||x|y|");
}

// Deleting to-dos never moves a finished mark onto another to-do: the marks of removed to-dos
// go, and the marks behind them move forward with their to-dos.
TEST_F(ToDoTest, DeleteKeepsEveryOtherMarkOnItsOwnToDo) {
  setLocals("a|b|a|c|", "3,1,");
  std::string seen = rows() + " / ";
  remove(0);
  seen += rows() + " " + marks() + " " + cloudWrites() + " / ";
  remove(0);  // b goes with its mark; c's mark moves to 0
  EXPECT_EQ(seen + marks(),
            "[ ] a|[x] b|[ ] a|[x] c / [x] b|[x] c [1,0] 1,0, set tasksFromCloud=b|c|; "
            "set stringTasksFinishedIndicesFromCloud=1,0, / [0] 0,");
  setCloud("tasksFromCloud", "a|b|a|");
  setCloud("stringTasksFinishedIndicesFromCloud", "2,");
  foreground();
  remove(0);  // the finished copy of a goes too, with its mark
  EXPECT_EQ(rows() + " / " + marks(), "[ ] b / [] ");
  setCloud("tasksFromCloud", "a|b|");
  setCloud("stringTasksFinishedIndicesFromCloud", "1,");
  foreground();
  cloudWrites();
  remove(1);
  EXPECT_EQ(rows() + " / " + marks(), "[ ] a / [] ");
  remove(0);  // nothing marked moves: the marks string is not written
  EXPECT_EQ(cloudWrites(),
            "set tasksFromCloud=a|; set stringTasksFinishedIndicesFromCloud=; set tasksFromCloud=");
}

TEST_F(ToDoTest, SearchedRowsActOnTheirPositionInTheWholeList) {
  setLocal("stringTasks", "a|Buy Milk|fresh milk|");
  type("searchTasks", "milk");
  std::string seen = rows() + " / ";
  ASSERT_TRUE(tapLabel(0).ok());
  seen += marks() + " / ";
  ASSERT_TRUE(tapTrash(0).ok());
  seen += local("stringTasks") + " " + marks() + " / ";
  type("searchTasks", "");
  EXPECT_EQ(seen + rows(), "[ ] fresh milk / [2] 2, / a|Buy Milk| []  / [ ] a|[ ] Buy Milk");
}

TEST_F(ToDoTest, ALinkTogglesOnlyFromItsStatusIcon) {
  setLocal("stringTasks", "https://x.org|HTTP://x.org|https://bad url|");
  EXPECT_FALSE(tapLabel(0).ok());
  ASSERT_TRUE(tapStatus(0).ok());
  ASSERT_TRUE(tapLabel(1).ok());
  ASSERT_TRUE(tapStatus(2).ok());  // a row with no label keeps both icons
  const std::string seen = rows();
  ASSERT_TRUE(tapTrash(2).ok());
  EXPECT_EQ(seen + " / " + rows() + " / " + marks(),
            "[x] https://x.org (link)|[x] HTTP://x.org|[x] / [x] https://x.org (link)|[x] HTTP://x.org / "
            "[0,1] 0,1,");
}

TEST_F(ToDoTest, CloudCopiesLoadIndependently) {
  setLocals("a|b|", "1,");
  setCloud("tasksFromCloud", "x|y|z|");
  std::string seen = rows();  // the first Appear loads, and writes back
  seen += " " + cloudWrites() + " / ";
  setCloud("stringTasksFinishedIndicesFromCloud", "");
  foreground();
  seen += rows() + " " + cloudWrites() + " / ";
  appear();  // both copies equal the local ones: no Change, no write
  EXPECT_EQ(seen + cloudWrites(),
            "[ ] x|[x] y|[ ] z set tasksFromCloud=x|y|z| / [ ] x|[ ] y|[ ] z set "
            "stringTasksFinishedIndicesFromCloud= / ");
}

TEST_F(ToDoTest, AddsDeletesAndLoadsAsEveryListScreenDoes) {
  EXPECT_EQ(
      listScenario("tasksTextField", "stringTasks", "tasksFromCloud",
                   [](ToDoView& v, std::int64_t p) { return v.deleteTask(p); }),
      "[ ] a|[ ] b|[ ] a [] set tasksFromCloud=a|; set tasksFromCloud=a|b|; set tasksFromCloud=a|b|a| / "
      "[ ] b b| set tasksFromCloud=b| / [ ] b b| [] 0 / []  set tasksFromCloud= / []");
}

// A second window on the same store marks a to-do; this window's marks in memory are older (only a load
// rebuilds them), yet its delete moves the marks as stored and never writes the other's over.
TEST_F(ToDoTest, ADeleteKeepsAMarkThatAnotherWindowSetSinceTheLastLoad) {
  setLocal("stringTasks", "a|b|c|");
  window();  // this window loads: no marks
  ToDoView other(env());
  ASSERT_TRUE(other.loadTasks().ok() && other.toggleFinished(2).ok());  // c finished, in the other window
  EXPECT_EQ(local("stringTasksFinishedIndices"), "2,");
  remove(0);
  EXPECT_EQ(marks(), "[1] 1,");  // still c, now at position 1
  // The other window's next change of the marks reaches the cloud; this window's marks stay as it set
  // them (only a load rebuilds them).
  auto second = openWindow(other);
  ASSERT_TRUE(second->perform([&] { return other.toggleFinished(0); }).ok());
  cloudWrites();
  EXPECT_TRUE(window().refresh());
  EXPECT_EQ(cloudWrites() + " / " + marks(), "set stringTasksFinishedIndicesFromCloud=1,0, / [1] 1,0,");
}

// The person sees [a, b, c] with c finished; another process deletes a before their tap arrives. A
// tap made on the tree they saw acts only on a row that still shows the same: the toggle does not
// mark b and the trash does not delete b (nor move c's mark onto it). The same holds when only the
// finished state moved.
TEST_F(ToDoTest, ATapOnARowThatChangedSinceThePersonSawItIsRefused) {
  setLocals("a|b|c|", "2,");
  EXPECT_EQ(rows(), "[ ] a|[ ] b|[x] c");
  Window::Tree seen = window().snapshot();
  const std::string toggleA = imageId(0, "circle"), trashA = imageId(0, "trash");
  ToDoView elsewhere(Environment{openStore(home_), env().cloud, device_});
  ASSERT_TRUE(elsewhere.loadTasks().ok() && elsewhere.deleteTask(0).ok());
  EXPECT_EQ(window().tap(toggleA, seen).code(), Status::Code::conflict);
  EXPECT_EQ(window().tap(trashA, seen).code(), Status::Code::conflict);
  EXPECT_EQ(local("stringTasks") + " " + local("stringTasksFinishedIndices"), "b|c| 1,");
  EXPECT_EQ(window().tap(toggleA, std::make_shared<const Element>()).code(), Status::Code::conflict);

  setCloud("tasksFromCloud", "b|c|");
  setCloud("stringTasksFinishedIndicesFromCloud", "1,");
  seen = window().snapshot();  // b and c, both drawn unfinished
  foreground();                // the load takes c's mark
  EXPECT_EQ(window().tap(imageId(1, "checkmark"), seen).code(), Status::Code::conflict);
  EXPECT_TRUE(window().tap(imageId(0, "circle"), window().snapshot()).ok());
  EXPECT_EQ(rows(), "[x] b|[x] c");
}

}  // namespace
}  // namespace quillbox::test
