#pragma once

// The kept versions of the lists (see SettingsStore), read as the changes a person made: what each
// change added and removed, which versions one change kept, and the lists as a change found and
// left them. The command line and the windows read them alike.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/list_undo.h"
#include "base/stored_lists.h"
#include "platform/status.h"
#include "platform/store/settings_store.h"
#include "platform/view/window.h"

namespace quillbox {

// Whether two lists are shown by one screen (the to-dos and their marks are).
bool sameScreen(const StoredList& a, const StoredList& b);

// One version of a list and the change that replaced it.
struct HistoryItem {
  SettingsStore::Version version;
  std::size_t entries = 0;  // in the version
  std::size_t added = 0;    // entries the change added, counted with repeats
  std::size_t removed = 0;
  std::vector<std::string> firstAdded;  // the first three of each, whole
  std::vector<std::string> firstRemoved;
};

// The kept versions of list, newest first. Fails when the store cannot be read.
Result<std::vector<HistoryItem>> readHistory(SettingsStore& store, const StoredList& list);

// One change as the kept versions tell it: the versions numbered lo to hi, one per list it wrote (a
// write of the to-dos and their marks together keeps two numbers in a row, with one cause and times
// within 100 ms: two separate changes of them that close together read as one).
struct KeptChange {
  std::int64_t lo = 0;
  std::int64_t hi = 0;
  std::int64_t timeMs = 0;
  std::string cause;
  const StoredList* list = nullptr;  // one list it wrote
};

// The changes kept of lists, newest first. Fails when the store cannot be read.
Result<std::vector<KeptChange>> keptChanges(SettingsStore& store,
                                            const std::vector<const StoredList*>& lists);

// The change that replaced version number of list; none when list keeps no such version.
Result<std::optional<KeptChange>> changeReplacing(SettingsStore& store, const StoredList& list,
                                                  std::int64_t number);

// The lists of change's screen (in the order of kStoredLists), as the change found and left them.
// Fails when the store cannot be read, or a version it needs was dropped meanwhile.
Result<std::vector<ListStrings>> listsOfChange(SettingsStore& store, const KeptChange& change);

// Takes back, as one event of window offered to undo like a tap's change, the change that replaced
// version number of list, on the lists as they are now (see revertItemList); its versions carry the
// cause "revert". Fails (notFound), changing nothing, when list keeps no such version.
Status revertChange(Window& window, const StoredList& list, std::int64_t number);

// Makes the lists of list's screen what they were just before the change that replaced version number
// (what `restore` does, the to-dos with their marks), as one event of window offered to undo; its
// versions carry the cause "restore". Fails (notFound), changing nothing, when there is no such version.
Status restoreVersion(Window& window, const StoredList& list, std::int64_t number);

// Takes change back from the lists as they are now (see revertItemList, revertTaskLists): change holds
// the lists of one screen as listsOfChange gives them. Writes in one transaction whose versions carry
// cause. reloadsMarks says whether the finished marks were written (a screen reads them only on load).
Status writeReverted(SettingsStore& store, const std::vector<ListStrings>& change, std::string_view cause,
                     bool& reloadsMarks);

}  // namespace quillbox
