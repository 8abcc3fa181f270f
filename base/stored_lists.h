#pragma once

// The four lists a person keeps, in one table: the name the command line gives each, its key in the
// settings store, its key in the cloud store, and how its string is encoded. These keys are what other
// devices and earlier versions read; they never change.

#include <array>
#include <string_view>

#include "base/list_string.h"

namespace quillbox {

enum class ListEncoding {
  items,    // entries, each followed by "NOTES_SEPARATOR"
  indices,  // decimal positions, each followed by ","
};

struct StoredList {
  std::string_view name;      // "notes", "tasks", "marks" or "tags"
  std::string_view localKey;  // in the settings store
  std::string_view cloudKey;  // in the cloud store
  ListEncoding encoding;

  constexpr std::string_view separator() const {
    return encoding == ListEncoding::items ? kItemSeparator : kIndexSeparator;
  }
};

inline constexpr StoredList kNotesList{"notes", "stringNotes", "notesFromCloud", ListEncoding::items};
inline constexpr StoredList kTasksList{"tasks", "stringTasks", "tasksFromCloud", ListEncoding::items};
inline constexpr StoredList kMarksList{"marks", "stringTasksFinishedIndices",
                                       "stringTasksFinishedIndicesFromCloud", ListEncoding::indices};
inline constexpr StoredList kTagsList{"tags", "stringTaggedNotes", "taggedNotesFromCloud",
                                      ListEncoding::items};

inline constexpr std::array<StoredList, 4> kStoredLists{kNotesList, kTasksList, kMarksList, kTagsList};

// The list the command line calls name; nullptr when there is none.
const StoredList* storedListNamed(std::string_view name);

// The list kept in the settings store under key; nullptr for any other key.
const StoredList* storedListWithLocalKey(std::string_view key);

}  // namespace quillbox
