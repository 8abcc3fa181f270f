#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sync/cloud_store.h"
#include "platform/sync/merge_load.h"
#include "platform/view/cell.h"

namespace quillbox {

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
