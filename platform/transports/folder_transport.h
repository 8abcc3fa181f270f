#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"
#include "platform/sync/cloud_transport.h"

namespace quillbox {

// A folder as a cloud backing: one file per key, named by the key, holding the value's bytes.
// Several processes (and a folder-syncing tool) may share the folder: a write replaces the file
// whole (writeFileAtomically), so a reader sees the old value or the new one, never a part. An
// absent file is nothing; an empty file is the empty string. A key that is not a plain file name
// (empty, ".", "..", longer than 255 bytes, holding "/", NUL or a control character, or starting
// with ".") is refused. A key whose path holds anything but a regular file (a folder, a FIFO) is
// refused with a clear message, never opened in a way that could wait. The folder writes one
// file after another: of several writes, some may be made and others not.
//
// A conditional group is made under an advisory lock (flock) on the folder's lock file ".lock"
// (a name no key can take), waited for a bounded time: every home on this machine that shares the
// folder takes its turn, reads each key's file again and writes only when none moved. A file-sync
// tool between machines gives no such guarantee: there the other device's copy meets this one's
// at the next load, which merges them.
class FolderTransport : public CloudTransport {
 public:
  // Uses folder, creating it (and missing parents, mode 0700) when missing. Removes the temporary
  // files that killed writers left there more than an hour ago. Fails, naming the folder, when it
  // cannot be made or written.
  static Result<std::unique_ptr<FolderTransport>> open(std::filesystem::path folder);

  Result<std::optional<std::string>> get(std::string_view key) override;
  Status set(std::string_view key, std::string_view value) override;
  // Busy when the folder's lock was not let go within lockWait. A folder keeps no names of the writes
  // it made: a write sent again after its answer was lost, written over since, is held back as moved,
  // and its merge may double what it added.
  Status setIf(std::span<const ConditionalWrite> writes) override;
  Status checkKey(std::string_view key) const override;
  // The folder's path.
  std::string describe() const override { return folder_.string(); }
  std::string identity() const override { return "folder " + folder_.string(); }

  const std::filesystem::path& folder() const { return folder_; }

  // True when key can name a value in a folder.
  static bool isPlainKey(std::string_view key);

 private:
  explicit FolderTransport(std::filesystem::path folder) : folder_(std::move(folder)) {}
  void removeStaleTemporaries();

  std::filesystem::path folder_;

 public:
  // How long a conditional group waits for the folder's lock.
  static constexpr std::chrono::milliseconds kLockWait{3000};
};

}  // namespace quillbox
