#include "screens/synced_list.h"

#include <algorithm>
#include <memory>

#include "base/list_merge.h"

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

Status loadSynced(std::span<const SyncedString> lists, CloudStore& cloud, MergeStrings merge,
                  SettingsStore* together) {
  std::vector<CloudStore::LoadCopy> copies;
  for (const SyncedString& list : lists) {
    Result<CloudStore::LoadCopy> copy = cloud.loadCopy(list.cloudKey);
    if (!copy.ok()) return copy.status();
    copies.push_back(std::move(copy).value());
  }
  if (std::none_of(copies.begin(), copies.end(), [](const auto& copy) { return copy.unsent; })) {
    SettingsStore::CauseScope cause("load");
    Status first = Status::Ok();
    for (std::size_t i = 0; i < lists.size(); ++i) {
      if (!copies[i].value) continue;
      Status written = lists[i].local.set(*copies[i].value);
      if (first.ok()) first = std::move(written);
    }
    return first;
  }

  std::vector<std::string> base, mine, theirs;
  for (std::size_t i = 0; i < lists.size(); ++i) {
    Result<std::string> local = lists[i].local.read();
    if (!local.ok()) return local.status();
    mine.push_back(std::move(local).value());
    // A list with no unsent edit is what it was based on: the cloud's string wins for it.
    base.push_back(copies[i].unsent ? copies[i].base.value_or("") : mine.back());
    // No device removes a key: a key that holds nothing was lost by the cloud (a server that
    // started empty), not emptied by another device, and this device's list puts it back.
    theirs.push_back(copies[i].value ? *copies[i].value : base.back());
  }
  // The cloud already holds this device's strings (a write whose answer was lost): nothing to merge.
  std::vector<std::string> merged = theirs == mine ? mine : merge(base, mine, theirs);
  {
    SettingsStore::CauseScope cause("merge");
    std::unique_ptr<SettingsStore::WriteGroup> group;
    if (together != nullptr) group = std::make_unique<SettingsStore::WriteGroup>(*together);
    for (std::size_t i = 0; i < lists.size(); ++i) {
      if (merged[i] == mine[i]) continue;
      if (Status written = lists[i].local.set(merged[i]); !written.ok()) return written;
    }
    if (group) {
      if (Status committed = group->commit(); !committed.ok()) return committed;
    }
  }
  // Kept only once the merged strings are: a kill in between merges again onto the older base,
  // which may add the other device's new entries twice but never loses one.
  for (std::size_t i = 0; i < lists.size(); ++i) {
    if (Status rebased = cloud.rebase(lists[i].cloudKey, copies[i].value); !rebased.ok()) return rebased;
  }
  Status first = Status::Ok();
  for (std::size_t i = 0; i < lists.size(); ++i) {
    Status sent = cloud.setString(merged[i], lists[i].cloudKey);
    if (first.ok()) first = std::move(sent);
  }
  return first;
}

}  // namespace quillbox
