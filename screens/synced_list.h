#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// One persisted list kept in step in its three places: the local string (the working copy, a
// settings-backed cell), the cloud copy (a mirror under its own key) and the in-memory list the
// screen draws (derived from the local string by decoding). Every screen's load and save is this.
template <class List>
class SyncedList {
 public:
  using Decoder = List (*)(std::string_view);
  enum class OnSave { rebuild, keepMemory };

  SyncedList(AppStorage local, std::string cloudKey, State<List> memory, Decoder decode,
             OnSave onSave = OnSave::rebuild)
      : local_(std::move(local)),
        cloudKey_(std::move(cloudKey)),
        memory_(std::move(memory)),
        decode_(decode),
        onSave_(onSave) {}

  // The load of an item list on its own (loadSynced with mergeItemListStrings): the cloud string
  // replaces the local string whole, unless this device has an unsent edit of it, which is then
  // merged onto the cloud string. Then the in-memory list is rebuilt from the local string. A local
  // store that cannot be written or read leaves the in-memory list as it was and says why.
  Status load(CloudStore& cloud) const {
    const SyncedString part[] = {this->part()};
    if (Status loaded = loadSynced(part, cloud, mergeItemListStrings, nullptr); !loaded.ok()) return loaded;
    return rebuild();
  }

  // Run on each change of the local string, whoever made it: rebuilds the in-memory list (unless
  // the list is one its operations keep in step themselves), then writes the local string, read
  // afresh, to the cloud. A local string that cannot be read is neither rebuilt nor sent. Fails
  // when the cloud store could neither deliver the write nor keep it to deliver later.
  Status save(CloudStore& cloud) const {
    Result<std::string> local = local_.read();
    if (!local.ok()) return local.status();
    if (onSave_ == OnSave::rebuild) memory_.set(decode_(local.value()));
    return cloud.setString(local.value(), cloudKey_);
  }

  // The in-memory list decoded afresh from the local string; left as it was when that cannot be read.
  Status rebuild() const {
    Result<std::string> local = local_.read();
    if (!local.ok()) return local.status();
    memory_.set(decode_(local.value()));
    return Status::Ok();
  }

  SyncedString part() const { return SyncedString{local_, cloudKey_}; }
  const AppStorage& local() const { return local_; }
  const std::string& cloudKey() const { return cloudKey_; }

 private:
  AppStorage local_;
  std::string cloudKey_;
  State<List> memory_;
  Decoder decode_;
  OnSave onSave_;
};

}  // namespace quillbox
