#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/list_string.h"
#include "platform/environment.h"
#include "platform/view/cell.h"
#include "platform/view/view.h"
#include "screens/synced_list.h"

namespace quillbox {

// The to-do screen: to-dos with finished marks, searchable and deletable. A mark is a position in
// `tasks`; a to-do is finished when its position is among the marks. A plain value: copies share
// its cells.
struct ToDoView {
  explicit ToDoView(const Environment& env);

  // Cells, in their declared order.
  AppStorage stringTasks;                 // all to-dos, item list encoding
  AppStorage stringTasksFinishedIndices;  // the finished marks, index list encoding
  State<std::string> searchTasks;
  State<ItemList> tasks;
  State<IndexList> tasksFinishedIndices;  // in the order they were set
  State<std::string> tasksTextField;

  // Operations. Each says whether the local store could be read and written; a failed add keeps
  // the typed text, and an in-memory list changes only with its stored string.
  Status addTask() const;
  // Marks or unmarks a position; the position is not compared with the list's length.
  Status toggleFinished(std::int64_t position) const;
  // Removes every to-do equal to the one at position, with their marks; the marks behind them
  // move forward with their to-dos. Both strings are written in one transaction: a failure or a
  // kill leaves both as they were or both changed. A position outside the current list does nothing.
  Status deleteTask(std::int64_t position) const;
  Status loadTasks() const;
  Status stringTasksChanged() const;
  Status stringTasksFinishedIndicesChanged() const;

  // Queries.
  bool isTaskShown(std::int64_t position) const;
  // Whether position is among the marks; answered from a set made once for each version of the
  // marks, so asking for every row costs no scan of the marks for each.
  bool isFinished(std::int64_t position) const;

  Element body() const;

 private:
  struct FinishedMarks;
  std::shared_ptr<const FinishedMarks> finishedMarks() const;
  Status unmark(std::int64_t position) const;

  Environment env_;
  SyncedList<ItemList> tasksSync_;
  SyncedList<IndexList> marksSync_;
  struct MarksCache;
  std::shared_ptr<MarksCache> marksCache_;
};

}  // namespace quillbox
