#pragma once

// The load that merges a device's unsent edits onto another device's newer copy: the one place where
// they meet, run by the screens' loads and by the sync layer when the cloud held a write back.

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/store/settings_store.h"
#include "platform/sync/cloud_store.h"
#include "platform/view/cell.h"

namespace quillbox {

// One persisted string's part in a load: its local cell and its cloud key.
struct SyncedString {
  AppStorage local;
  std::string cloudKey;
};

// Merges lists that travel together: for each, the cloud value the device's string was based on,
// the device's string, and the cloud's string now, in the order the lists were given; the merged
// strings in the same order.
using MergeStrings = std::vector<std::string> (*)(const std::vector<std::string>& base,
                                                  const std::vector<std::string>& mine,
                                                  const std::vector<std::string>& theirs);

// The merge of one item list (notes, to-dos, tagged notes).
std::vector<std::string> mergeItemListStrings(const std::vector<std::string>& base,
                                              const std::vector<std::string>& mine,
                                              const std::vector<std::string>& theirs);
// The merge of the to-dos (first) and their finished marks (second), marks moved with their to-dos.
std::vector<std::string> mergeTaskStrings(const std::vector<std::string>& base,
                                          const std::vector<std::string>& mine,
                                          const std::vector<std::string>& theirs);

// The load of lists that travel together, the one place where a device's unsent edits meet
// another device's newer copy.
// - When the backing answered for some of them and not for others, nothing is taken: the local
//   strings stay as they are until a load reads them all.
// - When the cloud store has no unsent write of any of them (or no base for it), each cloud string
//   that exists (the empty string included) replaces its local string whole; nothing there leaves
//   the local string alone. Every list is tried; the first failure is returned.
// - Otherwise this device's edits since the base (what both sides hold in common, when the base was
//   never learnt) are merged onto the cloud's strings, all lists together; a list with nothing unsent
//   keeps the cloud's very bytes where the merge leaves its entries as they are. The merged strings
//   replace the local ones (each kept in the history with the cause "merge"), the cloud store is told
//   they build on the cloud's strings, and the merged strings are written to the cloud, all in one
//   transaction (of together when given, else of the lists' store; the caller's when it has one
//   open): a kill leaves all of it or none.
// A cloud store that cannot tell whether a write waits, or a local string that cannot be read,
// fails the load: nothing is merged or written. Rebuilds no in-memory list.
Status loadSynced(std::span<const SyncedString> lists, CloudStore& cloud, MergeStrings merge,
                  SettingsStore* together);

// The stored lists with one of cloudKeys loaded again from the cloud into store's local strings, each
// as loadSynced does (the to-dos and their marks together, when either is named): a list the cloud held
// a write of back (another device wrote it meanwhile) merges this device's edits onto the newer copy,
// and the merged write waits to be sent. The first failure.
Status loadLists(CloudStore& cloud, const std::shared_ptr<SettingsStore>& store,
                 std::span<const std::string> cloudKeys);

}  // namespace quillbox
