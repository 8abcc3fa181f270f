#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/status.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillbox {

// The device's local settings store: one string per key, kept in <home>/settings.sqlite3.
// Any bytes but NUL round-trip exactly, values of many megabytes included. Several processes
// may use the same home at once; their writes never clobber each other. One object may be
// used from several threads (calls are serialised), but the app uses it from one at a time.
class SettingsStore {
 public:
  // Opens (creating when missing, with the home folder) <home>/settings.sqlite3 and <home>/lock.
  // Fails, naming the path and the reason, when either cannot be created or opened.
  static Result<std::shared_ptr<SettingsStore>> open(const std::filesystem::path& home);

  ~SettingsStore();
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // The home folder, as an absolute path.
  const std::filesystem::path& home() const { return home_; }

  // The string stored under key; "" when the key holds nothing (or cannot be read).
  std::string get(std::string_view key);

  // The same, but a store that cannot be read (a disk error, a lock held for many seconds) is
  // an error naming the key, not "": a caller about to edit the value must not mistake an
  // unreadable list for an empty one and write that back over it.
  Result<std::string> read(std::string_view key);

  // Stores value under key. Once it returns ok the value is durable: it survives a kill of the
  // process at any instant and a power cut. A value equal to the stored one writes nothing.
  // Fails, naming the key and the reason, when the store cannot be written (the stored value
  // is then left as it was).
  Status set(std::string_view key, std::string_view value);

  // A number that moves whenever this process or another process using the same home has
  // written the store since it was last asked. Cheap enough to ask before every redraw.
  std::uint64_t generation();

  struct HomeLock;  // one per home within a process

  // Holds the home's exclusive lock until destroyed, moved from, or release()d. Taken by
  // lock(); a default-made Lock holds nothing. Release it on the thread that took it.
  class Lock {
   public:
    Lock() = default;
    Lock(Lock&& other) noexcept;
    Lock& operator=(Lock&& other) noexcept;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock();

    bool owns() const { return home_ != nullptr; }
    void release();

   private:
    friend class SettingsStore;
    explicit Lock(std::shared_ptr<HomeLock> home) : home_(std::move(home)) {}
    std::shared_ptr<HomeLock> home_;
  };

  // Waits for, then takes, the exclusive lock of the home: shared by every process using it
  // (and every store object on it within this process), and by other threads of this process.
  // Re-entrant on one thread: a nested lock() returns at once. Run each command and each UI
  // event under it so that two processes never interleave a load and an edit. A thread that
  // holds it must not wait for another thread that takes it.
  Lock lock();

 private:
  struct Private {};

 public:
  SettingsStore(Private, std::filesystem::path home);  // use open()

 private:
  Status prepare();
  std::string errorText() const;

  std::filesystem::path home_;
  std::filesystem::path path_;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
  sqlite3_stmt* upsert_ = nullptr;
  sqlite3_stmt* dataVersion_ = nullptr;
  std::shared_ptr<HomeLock> homeLock_;
  std::int64_t lastDataVersion_ = -1;
  std::uint64_t generation_ = 0;
};

}  // namespace quillbox
