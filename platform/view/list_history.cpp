#include "platform/view/list_history.h"

#include <algorithm>
#include <utility>

namespace quillbox {

namespace {

constexpr std::size_t kSamples = 3;
// The versions one transaction keeps are stamped as each write is made, a moment apart: two versions
// in a row of the to-dos and their marks, with one cause, this close are taken as one change.
constexpr std::int64_t kOneWriteMs = 100;

std::vector<std::string> firstOf(const std::vector<std::string_view>& entries) {
  std::vector<std::string> first;
  for (std::size_t i = 0; i < entries.size() && i < kSamples; ++i) first.emplace_back(entries[i]);
  return first;
}

// The list's value once every change up to the one that kept version `after` was made: the oldest
// version newer than that (the value the next change replaced), else the list now.
Result<std::string> valueAfter(SettingsStore& store, const StoredList& list, std::int64_t after) {
  Result<std::vector<SettingsStore::Version>> versions = store.versions(list.localKey);
  if (!versions) return versions.status();
  const SettingsStore::Version* next = nullptr;
  for (const SettingsStore::Version& version : versions.value()) {
    if (version.number > after) next = &version;
  }
  if (next == nullptr) return store.read(list.localKey);
  Result<std::optional<std::string>> value = store.versionValue(list.localKey, next->number);
  if (!value) return value.status();
  if (!value.value())
    return Status::NotFound("a version of " + std::string(list.name) + " was dropped meanwhile");
  return std::move(*value.value());
}

}  // namespace

bool sameScreen(const StoredList& a, const StoredList& b) {
  auto screen = [](const StoredList& list) {
    return list.localKey == kMarksList.localKey ? kTasksList.localKey : list.localKey;
  };
  return screen(a) == screen(b);
}

Result<std::vector<HistoryItem>> readHistory(SettingsStore& store, const StoredList& list) {
  Result<std::string> newer = store.read(list.localKey);
  if (!newer) return newer.status();
  Result<std::vector<SettingsStore::Version>> versions = store.versions(list.localKey);
  if (!versions) return versions.status();
  std::vector<HistoryItem> items;
  for (const SettingsStore::Version& version : versions.value()) {
    Result<std::optional<std::string>> value = store.versionValue(list.localKey, version.number);
    if (!value) return value.status();
    if (!value.value()) continue;  // dropped since it was listed (another process's write)
    const EntryDelta delta = deltaBetween(*value.value(), newer.value(), list.separator());
    items.push_back({version, nonEmptyPieces(*value.value(), list.separator()).size(), delta.added.size(),
                     delta.removed.size(), firstOf(delta.added), firstOf(delta.removed)});
    newer = std::move(*value.value());
  }
  return items;
}

Result<std::vector<KeptChange>> keptChanges(SettingsStore& store,
                                            const std::vector<const StoredList*>& lists) {
  std::vector<KeptChange> kept;
  for (const StoredList* list : lists) {
    Result<std::vector<SettingsStore::Version>> versions = store.versions(list->localKey);
    if (!versions) return versions.status();
    for (const SettingsStore::Version& v : versions.value())
      kept.push_back({v.number, v.number, v.timeMs, v.cause, list});
  }
  std::sort(kept.begin(), kept.end(), [](const KeptChange& a, const KeptChange& b) { return a.lo > b.lo; });
  std::vector<KeptChange> changes;
  for (const KeptChange& k : kept) {
    if (!changes.empty()) {
      KeptChange& last = changes.back();
      if (last.lo == k.lo + 1 && last.lo == last.hi && last.timeMs - k.timeMs <= kOneWriteMs &&
          last.cause == k.cause && last.list->localKey != k.list->localKey &&
          sameScreen(*last.list, *k.list)) {
        last.lo = k.lo;
        continue;
      }
    }
    changes.push_back(k);
  }
  return changes;
}

Result<std::optional<KeptChange>> changeReplacing(SettingsStore& store, const StoredList& list,
                                                  std::int64_t number) {
  std::vector<const StoredList*> screen;
  for (const StoredList& other : kStoredLists) {
    if (sameScreen(list, other)) screen.push_back(&other);
  }
  Result<std::vector<KeptChange>> changes = keptChanges(store, screen);
  if (!changes) return changes.status();
  for (const KeptChange& change : changes.value()) {
    if (change.lo <= number && number <= change.hi) return std::optional<KeptChange>(change);
  }
  return std::optional<KeptChange>();
}

Result<std::vector<ListStrings>> listsOfChange(SettingsStore& store, const KeptChange& change) {
  std::vector<ListStrings> lists;
  for (const StoredList& list : kStoredLists) {
    if (!sameScreen(list, *change.list)) continue;
    Result<std::string> before = valueAfter(store, list, change.lo - 1);
    if (!before) return before.status();
    Result<std::string> after = valueAfter(store, list, change.hi);
    if (!after) return after.status();
    lists.push_back({&list, std::move(before).value(), std::move(after).value()});
  }
  return lists;
}

Status writeReverted(SettingsStore& store, const std::vector<ListStrings>& change, std::string_view cause,
                     bool& reloadsMarks) {
  reloadsMarks = false;
  std::vector<std::string> now;
  for (const ListStrings& list : change) {
    Result<std::string> value = store.read(list.list->localKey);
    if (!value) return value.status();
    now.push_back(std::move(value).value());
  }
  std::vector<std::string> reverted;
  if (change.size() == 2) {  // the to-dos, then their marks
    TaskStrings back = revertTaskLists({change[0].before, change[1].before},
                                       {change[0].after, change[1].after}, {now[0], now[1]});
    reverted = {std::move(back.tasks), std::move(back.marks)};
    reloadsMarks = true;
  } else {
    reverted = {revertItemList(change[0].before, change[0].after, now[0])};
  }
  SettingsStore::CauseScope scope(cause);
  SettingsStore::WriteGroup together(store);
  for (std::size_t i = 0; i < reverted.size(); ++i) {
    if (Status written = store.set(change[i].list->localKey, reverted[i]); !written.ok()) return written;
  }
  return together.commit();
}

namespace {

// The lists of the change that replaced version number of list, or why there are none.
Result<std::vector<ListStrings>> changeOfVersion(SettingsStore& store, const StoredList& list,
                                                 std::int64_t number) {
  Result<std::optional<KeptChange>> change = changeReplacing(store, list, number);
  if (!change) return change.status();
  if (!change.value())
    return Status::NotFound("no version " + std::to_string(number) + " of " + std::string(list.name));
  return listsOfChange(store, *change.value());
}

}  // namespace

namespace {

// Runs write over the lists of the change that replaced version number of list, as one undoable
// step; a write that touched the marks (it says so) reloads the window's lists.
template <class Write>
Status writeOverVersion(Window& window, const StoredList& list, std::int64_t number, Write write) {
  SettingsStore& store = *window.store();
  bool marks = false;
  Status done = window.performUndoable([&]() -> Status {
    Result<std::vector<ListStrings>> change = changeOfVersion(store, list, number);
    if (!change) return change.status();
    return write(store, change.value(), marks);
  });
  if (done.ok() && marks) return window.appear();
  return done;
}

}  // namespace

Status revertChange(Window& window, const StoredList& list, std::int64_t number) {
  return writeOverVersion(window, list, number,
                          [](SettingsStore& store, const std::vector<ListStrings>& change, bool& marks) {
                            return writeReverted(store, change, "revert", marks);
                          });
}

Status restoreVersion(Window& window, const StoredList& list, std::int64_t number) {
  return writeOverVersion(
      window, list, number, [](SettingsStore& store, const std::vector<ListStrings>& change, bool& marks) {
        SettingsStore::CauseScope scope("restore");
        SettingsStore::WriteGroup together(store);
        for (const ListStrings& strings : change) {
          marks = marks || strings.list->encoding == ListEncoding::indices;
          if (Status written = store.set(strings.list->localKey, strings.before); !written.ok())
            return written;
        }
        return together.commit();
      });
}

}  // namespace quillbox
