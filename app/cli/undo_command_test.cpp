// undo, run as the built program.

#include "app/cli/undo_command.h"

#include <gtest/gtest.h>

#include <string>

#include "app/cli/cli_test_support.h"

namespace quillbox {
namespace {

using clitest::items;

class UndoCommandTest : public clitest::CommandLineFixture {
 protected:
  // What undo printed, without the time of the change.
  std::string undo(const std::vector<std::string>& args) {
    std::string out = clitest::flattened(ok(args));
    const std::size_t comma = out.find(", 20");
    return comma == std::string::npos ? out : out.erase(comma, out.find(')', comma) - comma);
  }
};

TEST_F(UndoCommandTest, AToDoDeleteComesBackWithItsMarkAndEachUndoTakesTheChangeBefore) {
  for (const char* text : {"a", "b", "a"}) ok({"tasks", "add", text});
  ok({"notes", "add", "n"});  // between the add and the toggle: never read as one change with them
  ok({"tasks", "toggle", "3"});
  ok({"tasks", "delete", "1"});  // both a's, and the mark on the second
  EXPECT_EQ(
      undo({"undo", "tasks"}),
      "undid: Deleted \"a\" and 1 equal to-do (command line)|came back: \"a\", \"a\"|finished again: \"a\"");
  EXPECT_EQ(rows({"tasks", "list"}), "1 [ ] a|2 [ ] b|3 [x] a");
  EXPECT_EQ(inCloud("tasksFromCloud") + " " + inCloud("stringTasksFinishedIndicesFromCloud"),
            items({"a", "b", "a"}) + " 2,");
  EXPECT_EQ(undo({"undo", "tasks"}), "undid: Marked \"a\" finished (command line)|unfinished again: \"a\"");
  EXPECT_EQ(undo({"undo"}), "undid: Added \"n\" (command line)|went: \"n\"");
  EXPECT_EQ(undo({"undo"}), "undid: Added \"a\" (command line)|went: \"a\"");
  EXPECT_EQ(rows({"tasks", "list"}) + " / " + stored("stringNotes"), "1 [ ] a|2 [ ] b / ");
  EXPECT_NE(ok({"history", "notes"}).find("\tundo\t"), std::string::npos);  // the undo is kept
  EXPECT_EQ(refused({"undo", "tags"}), "2 quillbox: undo: no change of tags made on this device to undo");
}

TEST_F(UndoCommandTest, AnUndoAfterAnotherDevicesEditKeepsThatEdit) {
  clitest::Device laptop = device("laptop");
  for (const char* text : {"a", "b", "c"}) ok({"notes", "add", text});
  ok({"notes", "delete", "2"});
  okOn(laptop, {"notes", "add", "from the laptop"});
  okOn(laptop, {"notes", "delete", "1"});
  EXPECT_EQ(undo({"undo", "notes"}), "undid: Deleted \"b\" (command line)|came back: \"b\"");
  EXPECT_EQ(rows({"notes", "list"}), "1 b|2 c|3 from the laptop");
  EXPECT_EQ(rowsOn(laptop, {"notes", "list"}), "1 b|2 c|3 from the laptop");
}

}  // namespace
}  // namespace quillbox
