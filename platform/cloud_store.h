#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace quillbox {

// The cloud key-value store that mirrors every list to the person's other devices. Only two
// operations exist: nothing flushes it, observes it or removes a key. Calls never throw and
// report no error to their caller; a store that cannot reach its backing answers nothing for
// reads and drops or defers writes, and says why through health().
class CloudStore {
 public:
  virtual ~CloudStore() = default;

  // The string last accepted under key, the empty string included; nothing when the key holds
  // nothing (or the store cannot answer).
  virtual std::optional<std::string> stringForKey(std::string_view key) = 0;

  // Keeps value under key; later reads here, and on other devices sharing the store, return it.
  virtual void setString(std::string_view value, std::string_view key) = 0;

  // What the store is, for people: a folder path or a server address (passwords masked).
  virtual std::string describe() const = 0;

  // Ok, or the last problem the store met (a folder that cannot be written, a refused login).
  virtual Status health() const { return Status::Ok(); }

  // Gives deferred writes one more chance to reach the backing, within about timeoutMs.
  // Stores that never defer do nothing.
  virtual void flushPending(int timeoutMs) { (void)timeoutMs; }
};

// A store held in memory, for tests and for a process that wants no mirror. Safe to share
// between threads.
class MemoryCloudStore : public CloudStore {
 public:
  std::optional<std::string> stringForKey(std::string_view key) override;
  void setString(std::string_view value, std::string_view key) override;
  std::string describe() const override { return "memory"; }

  // For tests: how many times setString was called.
  int writes() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string, std::less<>> values_;
  int writes_ = 0;
};

// The embedded default: a folder with one file per key, named by the key, holding the value's
// bytes. Several processes (and a folder-syncing tool) may share the folder: a write replaces
// the file whole, so a reader sees the old value or the new one, never a part, and a value
// that was written survives a kill and a power cut. An absent file is nothing; an empty file
// is the empty string. A key that is not a plain file name (empty, ".", "..", longer than 255
// bytes, holding "/", NUL or a control character, or starting with ".") is refused: reads give
// nothing and writes are dropped. Refusals and I/O failures are reported by health(), never
// thrown. Safe to share between threads.
class FolderCloudStore : public CloudStore {
 public:
  // Uses folder, creating it (and missing parents, mode 0700) when missing; a folder that
  // cannot be made is reported by health(). Removes the temporary files that killed writers
  // left there more than an hour ago.
  explicit FolderCloudStore(std::filesystem::path folder);

  std::optional<std::string> stringForKey(std::string_view key) override;
  void setString(std::string_view value, std::string_view key) override;
  // The folder's path.
  std::string describe() const override { return folder_.string(); }
  // Ok, or the last problem met since the last write that succeeded.
  Status health() const override;

  const std::filesystem::path& folder() const { return folder_; }

  // True when key can name a value in a folder store.
  static bool isPlainKey(std::string_view key);

 private:
  void report(Status problem);
  void removeStaleTemporaries();

  std::filesystem::path folder_;
  mutable std::mutex mutex_;
  Status health_ = Status::Ok();
};

// The cloud store a spec names: "" is a FolderCloudStore on <home>/cloud; an address starting
// "redis://" or "unix://" is a Redis server; any other text is a folder path, relative to the
// working directory. Fails, with the reason, when the folder cannot be made or the server
// address is bad.
Result<std::unique_ptr<CloudStore>> makeCloudStore(std::string_view spec, const std::filesystem::path& home);

// Sets how the process-wide cloud store is made. Call it before the first sharedCloudStore():
// once the store is made, later calls change nothing. Without it, the store is a
// MemoryCloudStore (as it is when make gives nothing).
void configureSharedCloudStore(std::function<std::unique_ptr<CloudStore>()> make);

// The one cloud store of the process: made on first use, exactly once even when several
// threads ask at once, and kept until the process ends.
CloudStore& sharedCloudStore();

}  // namespace quillbox
