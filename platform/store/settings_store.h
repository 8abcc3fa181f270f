#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"
#include "platform/store/home_lock.h"
#include "platform/store/sqlite_db.h"

struct sqlite3_stmt;

namespace quillbox {

// The device's local settings store: one string per key, kept in <home>/settings.sqlite3 (mode
// 0600, as its log and shared memory). Any bytes, NUL included, round-trip exactly, values of many
// megabytes included. Several processes
// may use the same home at once; their writes never clobber each other. One object may be
// used from several threads (calls are serialised), but the app uses it from one at a time.
//
// History: a write that changes one of the four list strings ("stringNotes", "stringTasks",
// "stringTasksFinishedIndices", "stringTaggedNotes"), whoever makes it, keeps the value it
// replaced as a version, in the same transaction as the write: either both are stored or
// neither. A key never written replaced "". A version records the time and the cause of the
// write that replaced it. Numbers grow with every version of any key and are never reused, so a
// number names the same version for as long as it is kept. Kept: the newest 200 versions of each
// key, and at most 64 MB of versions in all, the oldest dropped first; the newest version is kept
// even when it alone is larger.
class SettingsStore {
 public:
  // Opens (creating when missing, with the home folder) <home>/settings.sqlite3 and <home>/lock.
  // Fails, naming the path and the reason, when either cannot be created or opened. While a store of
  // the home is alive in this process, it is the answer: one connection carries every table of the
  // home, so that one transaction can hold a change's strings, history and cloud outbox together.
  static Result<std::shared_ptr<SettingsStore>> open(const std::filesystem::path& home);

  ~SettingsStore();
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // The home folder, as an absolute path.
  const std::filesystem::path& home() const { return home_; }

  // The string stored under key; "" when the key holds nothing, and also when it cannot be read:
  // for showing, never for a value that is edited and written back (read() is for that).
  std::string get(std::string_view key);

  // The same, but a store that cannot be read (a disk error, a lock held for many seconds) is
  // an error naming the key, not "": a caller about to edit the value must not mistake an
  // unreadable list for an empty one and write that back over it.
  Result<std::string> read(std::string_view key);

  // Stores value under key. Once it returns ok the value is durable: it survives a kill of the
  // process at any instant and a power cut. A value equal to the stored one writes nothing (and
  // keeps no version). Fails, naming the key and the reason, when the store cannot be written
  // (the stored value and the history are then left as they were). The version it keeps, for a
  // list key, carries currentCause().
  Status set(std::string_view key, std::string_view value);
  // The same, with the cause named here.
  Status set(std::string_view key, std::string_view value, std::string_view cause);

  // Whether writes under key keep versions: the four list keys.
  static bool keepsHistory(std::string_view key);

  // Ok, or the last failure to read or write a key that has not been read or written since: the
  // trouble a person must be shown (it names the key, the path and the reason).
  Status health() const;

  // Makes the writes through this store while it lives one transaction, so that the several
  // writes of one operation are all stored or none, whatever fails or kills the process. Other
  // threads wait for the store until the group ends; reads on this thread see its writes. Once a
  // write in the group fails, the group is undone and later writes fail at once. Make and end it
  // on one thread.
  class WriteGroup {
   public:
    explicit WriteGroup(SettingsStore& store);
    // Undoes the writes unless commit() stored them.
    ~WriteGroup();
    WriteGroup(const WriteGroup&) = delete;
    WriteGroup& operator=(const WriteGroup&) = delete;

    // Stores every write of the group, or none (the failure then names the reason).
    Status commit();

   private:
    friend class SettingsStore;
    SettingsStore& store_;
    std::unique_lock<std::recursive_mutex> guard_;
    bool began_ = false;
    bool done_ = false;
    Status failure_ = Status::Ok();
    std::vector<std::string> keys_;  // written in the group
  };

  // Names the cause of every write made on this thread, through any store, while it lives:
  // "load" around a load from the cloud, "restore" around a restore. The innermost scope wins;
  // the one before it is back when it ends. Make and end it on one thread.
  class CauseScope {
   public:
    explicit CauseScope(std::string_view cause);
    ~CauseScope();
    CauseScope(const CauseScope&) = delete;
    CauseScope& operator=(const CauseScope&) = delete;

   private:
    std::string cause_;
    const std::string* previous_;
  };

  // The cause of writes made outside every CauseScope: "edit" unless set (a command line sets
  // "command line" for its whole run). Per store object.
  void setDefaultCause(std::string cause);
  // The innermost CauseScope of this thread, else the default cause.
  std::string currentCause();

  struct Version {
    std::int64_t number = 0;
    std::int64_t timeMs = 0;  // when it was replaced, in milliseconds since 1970 (UTC)
    std::string cause;        // what replaced it: "edit", "load", "restore", "command line", ...
    std::uint64_t bytes = 0;  // the size of its value
  };

  // The kept versions of key, newest first, without their values; none for a key that keeps no
  // history. Fails, naming the key, when the store cannot be read.
  Result<std::vector<Version>> versions(std::string_view key);

  // The value of version number of key; nothing when key has no such version (never had, or it
  // was dropped, or the number is another key's). Fails when the store cannot be read.
  Result<std::optional<std::string>> versionValue(std::string_view key, std::int64_t number);

  // How many versions this store object keeps when it writes; other objects and processes keep
  // their own limits. versionsPerKey 0 keeps none (and drops a key's versions at its next write).
  struct HistoryLimits {
    std::size_t versionsPerKey = 200;
    std::uint64_t totalBytes = std::uint64_t{64} << 20;
  };
  void setHistoryLimits(HistoryLimits limits);

  // A number that moves whenever this process or another process using the same home has
  // written the store since it was last asked. Cheap enough to ask before every redraw.
  std::uint64_t generation();

  // For the tables other stores keep in this database (the cloud outbox). writeWith runs work on this
  // store's connection inside a write transaction: the one of this thread's open WriteGroup when
  // there is one (stored, or undone, with it), else one of its own, committed when work succeeds. A
  // failure of work undoes the transaction (the group's too) and is the answer. readWith runs work
  // on the connection, serialised with every other call; within a group it sees the group's writes.
  Status writeWith(const std::function<Status(Database&)>& work);
  Status readWith(const std::function<Status(Database&)>& work);
  // Whether this thread has a WriteGroup open on this store: writes made now are stored at its commit.
  bool inGroup() const;
  // Serialises a caller's several calls with every other call on the store until released.
  std::unique_lock<std::recursive_mutex> hold() const {
    return std::unique_lock<std::recursive_mutex>(mutex_);
  }

  // Holds the home's exclusive lock until destroyed, moved from, or release()d.
  using Lock = HomeLock::Held;

  // Waits for, then takes, the exclusive lock of the home: shared by every process using it
  // (and every store object on it within this process), and by other threads of this process.
  // Re-entrant on one thread: a nested lock() returns at once. Run each command and each UI
  // event under it so that two processes never interleave a load and an edit. Waits at most the
  // store's lock wait (a few seconds unless set), then fails (busy) naming the holder. A thread
  // that holds it must not wait for another thread that takes it.
  Result<Lock> lock();
  // Sets how long lock() waits, for every store object on this home in this process.
  void setLockWait(std::chrono::milliseconds wait);

 private:
  struct Private {};

 public:
  SettingsStore(Private, std::filesystem::path home);  // use open()

 private:
  Status prepare();
  std::string errorText() const;
  // "cannot save the setting ..." with SQLite's last reason.
  Status saveError(std::string_view key) const;
  // Whether value is the stored one (a key never written is not ""); on a difference, hands the
  // stored one (never written as "") to onDifferent while it is still bound and answers with its answer.
  Status compareStored(std::string_view key, std::string_view value, bool& same,
                       const std::function<Status(std::string_view)>& onDifferent);
  // Writes value under key inside the open transaction, and trims a list key's history.
  Status storeValue(std::string_view key, std::string_view value);
  Status keepVersion(std::string_view key, std::string_view replaced, std::string_view cause);
  Status pruneHistory(std::string_view key);
  void rollback();
  void noteTrouble(std::string_view key, const Status& status);

  std::filesystem::path home_;
  std::filesystem::path path_;
  mutable std::recursive_mutex mutex_;
  std::unique_ptr<Database> database_;
  sqlite3* db_ = nullptr;  // database_'s
  sqlite3_stmt* select_ = nullptr;
  sqlite3_stmt* upsert_ = nullptr;
  sqlite3_stmt* dataVersion_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* insertVersion_ = nullptr;
  sqlite3_stmt* pruneKey_ = nullptr;
  sqlite3_stmt* historyBytes_ = nullptr;
  std::string defaultCause_ = "edit";
  HistoryLimits limits_;
  std::shared_ptr<HomeLock> homeLock_;
  std::int64_t lastDataVersion_ = -1;
  std::uint64_t generation_ = 0;
  WriteGroup* group_ = nullptr;                           // the open group, on the thread that holds mutex_
  std::vector<std::pair<std::string, Status>> troubles_;  // per key, oldest first
};

}  // namespace quillbox
