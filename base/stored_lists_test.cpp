#include "base/stored_lists.h"

#include <gtest/gtest.h>

#include <string>

namespace quillbox {
namespace {

// The keys are what other devices and earlier versions read: this pins them.
TEST(StoredLists, EachListByNameAndLocalKey) {
  std::string table;
  for (const StoredList& list : kStoredLists) {
    table += std::string(list.name) + " " + std::string(list.localKey) + " " + std::string(list.cloudKey) +
             " " + std::string(list.separator()) + "|";
    EXPECT_EQ(storedListNamed(list.name), &list);
    EXPECT_EQ(storedListWithLocalKey(list.localKey), &list);
  }
  EXPECT_EQ(
      table,
      "notes stringNotes notesFromCloud NOTES_SEPARATOR|tasks stringTasks tasksFromCloud NOTES_SEPARATOR|"
      "marks stringTasksFinishedIndices stringTasksFinishedIndicesFromCloud ,|"
      "tags stringTaggedNotes taggedNotesFromCloud NOTES_SEPARATOR|");
  EXPECT_TRUE(!storedListNamed("stringNotes") && !storedListWithLocalKey("notes") &&
              !storedListWithLocalKey("notesFromCloud"));
}

}  // namespace
}  // namespace quillbox
