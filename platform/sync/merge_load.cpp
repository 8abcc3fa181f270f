#include "platform/sync/merge_load.h"

#include <algorithm>

#include "base/list_merge.h"
#include "base/stored_lists.h"

namespace quillbox {

std::vector<std::string> mergeItemListStrings(const std::vector<std::string>& base,
                                              const std::vector<std::string>& mine,
                                              const std::vector<std::string>& theirs) {
  return {mergeItemLists(base.at(0), mine.at(0), theirs.at(0))};
}

std::vector<std::string> mergeTaskStrings(const std::vector<std::string>& base,
                                          const std::vector<std::string>& mine,
                                          const std::vector<std::string>& theirs) {
  TaskStrings merged =
      mergeTaskLists({base.at(0), base.at(1)}, {mine.at(0), mine.at(1)}, {theirs.at(0), theirs.at(1)});
  return {std::move(merged.tasks), std::move(merged.marks)};
}

namespace {

// The base, the device's own and the cloud's string of each list, to merge.
struct MergeInputs {
  std::vector<std::string> base, mine, theirs;
};

Result<MergeInputs> mergeInputs(std::span<const SyncedString> lists,
                                const std::vector<CloudStore::LoadCopy>& copies) {
  MergeInputs in;
  for (std::size_t i = 0; i < lists.size(); ++i) {
    Result<std::string> local = lists[i].local.read();
    if (!local.ok()) return local.status();
    in.mine.push_back(std::move(local).value());
    const std::string cloudNow = copies[i].value.value_or("");
    if (!copies[i].unsent) {
      // A list with no unsent edit is what it was based on: the cloud's string wins for it.
      in.base.push_back(in.mine.back());
    } else if (copies[i].baseKnown) {
      in.base.push_back(copies[i].base.value_or(""));
    } else {
      // Never learnt what it was based on: what both sides hold is the base, so nothing is doubled.
      const StoredList* stored = storedListWithLocalKey(lists[i].local.key());
      bool items = stored == nullptr || stored->encoding == ListEncoding::items;
      in.base.push_back(items ? commonItems(in.mine.back(), cloudNow) : std::string());
    }
    // No device removes a key: a key that holds nothing was lost by the cloud (a server that
    // started empty), not emptied by another device, and this device's list puts it back.
    in.theirs.push_back(copies[i].value ? *copies[i].value : in.base.back());
  }
  return in;
}

// Nothing unsent: each list takes the cloud's copy as it stands.
Status takeCopies(std::span<const SyncedString> lists, const std::vector<CloudStore::LoadCopy>& copies) {
  SettingsStore::CauseScope cause("load");
  Status first = Status::Ok();
  for (std::size_t i = 0; i < lists.size(); ++i) {
    if (!copies[i].value) continue;
    Status written = lists[i].local.set(*copies[i].value);
    if (first.ok()) first = std::move(written);
  }
  return first;
}

}  // namespace

Status loadSynced(std::span<const SyncedString> lists, CloudStore& cloud, MergeStrings merge,
                  SettingsStore* together) {
  std::vector<CloudStore::LoadCopy> copies;
  for (const SyncedString& list : lists) {
    Result<CloudStore::LoadCopy> copy = cloud.loadCopy(list.cloudKey);
    if (!copy.ok()) return copy.status();
    copies.push_back(std::move(copy).value());
  }
  // Lists that travel together come from one reading of the backing: when it answered for some and
  // not for others, none is taken (the marks of one version on the to-dos of another would sit on
  // the wrong to-dos); the next load tries again.
  auto own = [](const CloudStore::LoadCopy& copy) { return copy.ownCopy; };
  if (std::any_of(copies.begin(), copies.end(), own) && !std::all_of(copies.begin(), copies.end(), own))
    return Status::Ok();
  if (std::none_of(copies.begin(), copies.end(), [](const auto& copy) { return copy.unsent; }))
    return takeCopies(lists, copies);
  Result<MergeInputs> inputs = mergeInputs(lists, copies);
  if (!inputs.ok()) return inputs.status();
  const auto& [base, mine, theirs] = inputs.value();
  // The cloud already holds this device's strings (a write whose answer was lost): nothing to merge.
  std::vector<std::string> merged = theirs == mine ? mine : merge(base, mine, theirs);
  // A list with nothing unsent takes the cloud's very bytes wherever the merge left its entries as
  // they were, whatever its sibling list holds.
  if (merged != mine) {
    std::vector<std::string> again = merge(theirs, theirs, theirs);
    for (std::size_t i = 0; i < lists.size(); ++i) {
      if (!copies[i].unsent && merged[i] == again[i]) merged[i] = theirs[i];
    }
  }
  // The merged strings, the new bases and the merged writes are stored together (with together) or
  // not at all: a kill never leaves an older write waiting on a newer base.
  SettingsStore::CauseScope cause("merge");
  SettingsStore::WriteGroup group(together != nullptr ? *together : lists.front().local.store());
  for (std::size_t i = 0; i < lists.size(); ++i) {
    if (merged[i] == mine[i]) continue;
    if (Status written = lists[i].local.set(merged[i]); !written.ok()) return written;
  }
  for (std::size_t i = 0; i < lists.size(); ++i) {
    if (Status rebased = cloud.rebase(lists[i].cloudKey, copies[i].value); !rebased.ok()) return rebased;
  }
  Status first = Status::Ok();
  for (std::size_t i = 0; i < lists.size(); ++i) {
    Status sent = cloud.setString(merged[i], lists[i].cloudKey);
    if (first.ok()) first = std::move(sent);
  }
  if (Status committed = group.commit(); !committed.ok()) return committed;
  return first;
}

Status loadLists(CloudStore& cloud, const std::shared_ptr<SettingsStore>& store,
                 std::span<const std::string> cloudKeys) {
  auto held = [&](const StoredList& list) {
    return std::find(cloudKeys.begin(), cloudKeys.end(), list.cloudKey) != cloudKeys.end();
  };
  auto part = [&](const StoredList& list) {
    return SyncedString{AppStorage(store, std::string(list.localKey)), std::string(list.cloudKey)};
  };
  Status first = Status::Ok();
  auto load = [&](std::span<const SyncedString> lists, MergeStrings merge) {
    Status loaded = loadSynced(lists, cloud, merge, store.get());
    if (first.ok()) first = std::move(loaded);
  };
  for (const StoredList& list : {kNotesList, kTagsList}) {
    const SyncedString one[] = {part(list)};
    if (held(list)) load(one, mergeItemListStrings);
  }
  const SyncedString todos[] = {part(kTasksList), part(kMarksList)};
  if (held(kTasksList) || held(kMarksList)) load(todos, mergeTaskStrings);
  return first;
}

}  // namespace quillbox
