#include "platform/store/settings_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <map>
#include <utility>

#include "base/escape.h"
#include "base/wall_clock.h"
#include "platform/store/home.h"
#include "platform/store/home_files.h"

namespace quillbox {

namespace fs = std::filesystem;

// Durability: the database runs in WAL mode with synchronous=FULL. Every set() outside a write
// group is one transaction, a write group's sets are one, and with FULL the commit fsyncs the write-ahead log
// before it returns, so a returned write survives a kill and a power cut; SQLite syncs the folder when it
// creates the log, and we sync it once after creating the database file. WAL rather than a
// rollback journal because readers never block the writer nor the writer the readers, so a
// web UI polling generation() and get() never stalls the command line's write, and a commit
// costs one fsync of an appended log instead of the journal's three (journal, database,
// folder). Both need a local file system; the home always lives on one.
//
// History: a write that changes a list string runs as one IMMEDIATE transaction that inserts the
// replaced value into settings_history, updates the value and prunes the history, so a kill at
// any instant leaves both or neither. The version's size sits in a column of its own, before the
// value, and in the key index, so totalling the history reads the index alone, never a value's
// overflow pages. The history holds at most 200 rows per list key, so the total is cheap; the
// pruning deletes at most a few rows a write. Numbers come from AUTOINCREMENT: never reused.

namespace {

// SQLite binds a null pointer as SQL NULL whatever the length; an empty value must stay a value.
const char* bytesOf(std::string_view text) { return text.data() != nullptr ? text.data() : ""; }

}  // namespace

SettingsStore::SettingsStore(Private, fs::path home)
    : home_(std::move(home)), path_(home_ / "settings.sqlite3") {}

SettingsStore::~SettingsStore() {
  for (sqlite3_stmt* stmt :
       {select_, upsert_, dataVersion_, begin_, commit_, insertVersion_, pruneKey_, historyBytes_}) {
    sqlite3_finalize(stmt);
  }
}

namespace {

// The live store of each home in this process; a forked child opens its own connection.
struct LiveStore {
  pid_t pid = 0;
  std::weak_ptr<SettingsStore> store;
};
std::mutex gLiveMutex;
std::map<fs::path, LiveStore>& liveStores() {
  static auto* stores = new std::map<fs::path, LiveStore>();  // never destroyed: used until exit
  return *stores;
}

}  // namespace

Result<std::shared_ptr<SettingsStore>> SettingsStore::open(const fs::path& home) {
  Result<fs::path> found = homefiles::absolute(home);
  if (!found)
    return Status::Error("cannot open the settings store in " + inQuotes(home.string()) + ": " +
                         found.status().message());
  const fs::path& absolute = found.value();
  std::lock_guard<std::mutex> guard(gLiveMutex);
  LiveStore& live = liveStores()[absolute];
  if (live.pid == ::getpid()) {
    if (std::shared_ptr<SettingsStore> store = live.store.lock()) return store;
  }
  if (Status made = ensureFolder(absolute); !made) return made;
  auto store = std::make_shared<SettingsStore>(Private{}, absolute);
  if (Status prepared = store->prepare(); !prepared) return prepared;
  live = LiveStore{::getpid(), store};
  return store;
}

std::string SettingsStore::errorText() const {
  return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
}

Status SettingsStore::prepare() {
  auto fail = [&](const std::string& reason) {
    return Status::Error("cannot open the settings store " + inQuotes(path_.string()) + ": " + reason);
  };
  auto lockResult = HomeLock::of(home_);
  if (!lockResult) return lockResult.status();
  homeLock_ = std::move(lockResult).value();

  bool fresh = homefiles::isNew(path_);
  Result<std::unique_ptr<Database>> opened = Database::open(path_);
  if (!opened.ok()) return opened.status();
  database_ = std::move(opened).value();
  db_ = database_->handle();
  for (const char* sql :
       {"CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL)",
        "CREATE TABLE IF NOT EXISTS settings_history(number INTEGER PRIMARY KEY AUTOINCREMENT, "
        "key TEXT NOT NULL, time INTEGER NOT NULL, cause TEXT NOT NULL, size INTEGER NOT NULL, "
        "value BLOB NOT NULL)",
        "CREATE INDEX IF NOT EXISTS settings_history_by_key ON settings_history(key, number, size)"}) {
    if (Status done = database_->exec(sql); !done) return fail(done.message());
  }
  if (fresh) homefiles::syncFolder(home_);

  const char* statements[] = {
      "SELECT value FROM settings WHERE key = ?1",
      "INSERT OR REPLACE INTO settings(key, value) VALUES(?1, ?2)",
      "PRAGMA data_version",
      "BEGIN IMMEDIATE",
      "COMMIT",
      "INSERT INTO settings_history(key, time, cause, size, value) VALUES(?1, ?2, ?3, ?4, ?5)",
      ("DELETE FROM settings_history WHERE key = ?1 AND number <= (SELECT number FROM settings_history "
       "WHERE key = ?1 ORDER BY number DESC LIMIT 1 OFFSET ?2)"),
      "SELECT COALESCE(SUM(size), 0) FROM settings_history"};
  sqlite3_stmt** targets[] = {&select_, &upsert_,        &dataVersion_, &begin_,
                              &commit_, &insertVersion_, &pruneKey_,    &historyBytes_};
  static_assert(std::size(statements) == std::size(targets));
  for (std::size_t i = 0; i < std::size(statements); ++i) {
    if (sqlite3_prepare_v3(db_, statements[i], -1, SQLITE_PREPARE_PERSISTENT, targets[i], nullptr) !=
        SQLITE_OK) {
      return fail(errorText());
    }
  }
  if (stepRetrying(dataVersion_) == SQLITE_ROW) lastDataVersion_ = sqlite3_column_int64(dataVersion_, 0);
  sqlite3_reset(dataVersion_);
  return Status::Ok();
}

std::string SettingsStore::get(std::string_view key) {
  Result<std::string> value = read(key);
  return value.ok() ? std::move(value).value() : std::string();
}

Result<std::string> SettingsStore::read(std::string_view key) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  sqlite3_bind_text64(select_, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
  int rc = stepRetrying(select_);
  Result<std::string> result = std::string();
  if (rc == SQLITE_ROW) {
    const void* bytes = sqlite3_column_blob(select_, 0);
    int size = sqlite3_column_bytes(select_, 0);
    if (bytes != nullptr && size > 0)
      result = std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
  } else if (rc != SQLITE_DONE) {
    result = Status::Error("cannot read the setting \"" + std::string(key) + "\" from " +
                           inQuotes(path_.string()) + ": " + errorText());
  }
  sqlite3_reset(select_);
  sqlite3_clear_bindings(select_);
  noteTrouble(key, result.status());
  return result;
}

Status SettingsStore::set(std::string_view key, std::string_view value) {
  return set(key, value, currentCause());
}

Status SettingsStore::saveError(std::string_view key) const {
  return Status::Error("cannot save the setting \"" + std::string(key) + "\" in " + inQuotes(path_.string()) +
                       ": " + errorText());
}

Status SettingsStore::compareStored(std::string_view key, std::string_view value, bool& same,
                                    const std::function<Status(std::string_view)>& onDifferent) {
  sqlite3_bind_text64(select_, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
  int rc = stepRetrying(select_);
  Status status = Status::Ok();
  same = false;
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
    std::string_view stored;
    if (rc == SQLITE_ROW) {
      const void* bytes = sqlite3_column_blob(select_, 0);
      auto size = static_cast<std::size_t>(sqlite3_column_bytes(select_, 0));
      if (bytes != nullptr) stored = std::string_view(static_cast<const char*>(bytes), size);
      same = stored == value;
    }
    if (!same && onDifferent) status = onDifferent(stored);
  } else {
    status = saveError(key);
  }
  sqlite3_reset(select_);
  sqlite3_clear_bindings(select_);
  return status;
}

Status SettingsStore::storeValue(std::string_view key, std::string_view value) {
  sqlite3_bind_text64(upsert_, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
  sqlite3_bind_blob64(upsert_, 2, bytesOf(value), value.size(), SQLITE_STATIC);
  Status status = stepRetrying(upsert_) == SQLITE_DONE ? Status::Ok() : saveError(key);
  sqlite3_reset(upsert_);
  sqlite3_clear_bindings(upsert_);
  if (status.ok() && keepsHistory(key)) status = pruneHistory(key);
  return status;
}

Status SettingsStore::set(std::string_view key, std::string_view value, std::string_view cause) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  WriteGroup* group = group_;  // only this thread can be here while a group is open
  if (group != nullptr && !group->failure_.ok()) return group->failure_;
  // Marks the group failed and undoes it, or rolls this write back; remembers the trouble.
  auto failed = [&](Status status) {
    rollback();
    if (group != nullptr) group->failure_ = status;
    noteTrouble(key, status);
    return status;
  };

  // An equal value is not written again: no transaction, no fsync, no move of the generation.
  bool same = false;
  if (group == nullptr || !group->began_) {
    if (Status compared = compareStored(key, value, same, nullptr); !compared.ok()) return failed(compared);
    if (same) {
      noteTrouble(key, Status::Ok());
      return Status::Ok();
    }
    int began = stepRetrying(begin_);
    sqlite3_reset(begin_);
    if (began != SQLITE_DONE) return failed(saveError(key));
    if (group != nullptr) group->began_ = true;
  }
  // Read again under the write lock: another process may have written since.
  const bool history = keepsHistory(key) && limits_.versionsPerKey > 0;
  Status status = compareStored(key, value, same, [&](std::string_view replaced) {
    // A key never written and "" are the same empty list: no version for that.
    if (!history || replaced == value) return Status::Ok();
    return keepVersion(key, replaced, cause);
  });
  if (status.ok() && same) {
    if (group == nullptr) rollback();
    noteTrouble(key, Status::Ok());
    return Status::Ok();
  }
  if (status.ok()) status = storeValue(key, value);
  if (status.ok() && group != nullptr) {
    group->keys_.emplace_back(key);
    ++generation_;  // this connection's readers see it now: their cells must look again
    return status;  // stored with the group's commit
  }
  if (status.ok()) {
    if (stepRetrying(commit_) != SQLITE_DONE) status = saveError(key);
    sqlite3_reset(commit_);
  }
  if (!status.ok()) return failed(status);
  ++generation_;
  noteTrouble(key, status);
  return status;
}

void SettingsStore::noteTrouble(std::string_view key, const Status& status) {
  auto same = std::find_if(troubles_.begin(), troubles_.end(), [&](const auto& t) { return t.first == key; });
  if (same != troubles_.end()) troubles_.erase(same);
  if (!status.ok()) troubles_.emplace_back(std::string(key), status);
}

Status SettingsStore::health() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return troubles_.empty() ? Status::Ok() : troubles_.back().second;
}

void SettingsStore::rollback() {
  // Some failures (a full disk, an I/O error) have already rolled the transaction back.
  if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  ++generation_;  // what this connection's readers saw may be undone
}

Status SettingsStore::keepVersion(std::string_view key, std::string_view replaced, std::string_view cause) {
  sqlite3_bind_text64(insertVersion_, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
  sqlite3_bind_int64(insertVersion_, 2, millisecondsSince1970());
  sqlite3_bind_text64(insertVersion_, 3, bytesOf(cause), cause.size(), SQLITE_STATIC, SQLITE_UTF8);
  sqlite3_bind_int64(insertVersion_, 4, static_cast<sqlite3_int64>(replaced.size()));
  sqlite3_bind_blob64(insertVersion_, 5, bytesOf(replaced), replaced.size(), SQLITE_STATIC);
  int rc = stepRetrying(insertVersion_);
  sqlite3_reset(insertVersion_);
  sqlite3_clear_bindings(insertVersion_);
  if (rc == SQLITE_DONE) return Status::Ok();
  return Status::Error("cannot keep the replaced value of \"" + std::string(key) + "\" in " +
                       inQuotes(path_.string()) + ": " + errorText());
}

Status SettingsStore::pruneHistory(std::string_view key) {
  auto fail = [&] {
    return Status::Error("cannot trim the history of \"" + std::string(key) + "\" in " +
                         inQuotes(path_.string()) + ": " + errorText());
  };
  sqlite3_bind_text64(pruneKey_, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
  sqlite3_bind_int64(pruneKey_, 2, static_cast<sqlite3_int64>(limits_.versionsPerKey));
  int rc = stepRetrying(pruneKey_);
  sqlite3_reset(pruneKey_);
  sqlite3_clear_bindings(pruneKey_);
  if (rc != SQLITE_DONE) return fail();

  rc = stepRetrying(historyBytes_);
  std::uint64_t total =
      rc == SQLITE_ROW ? static_cast<std::uint64_t>(sqlite3_column_int64(historyBytes_, 0)) : 0;
  sqlite3_reset(historyBytes_);
  if (rc != SQLITE_ROW) return fail();
  if (total <= limits_.totalBytes) return Status::Ok();

  // Over the bound: the oldest versions go until the rest fit, but never the newest one.
  sqlite3_stmt* oldest = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT number, size FROM settings_history ORDER BY number DESC", -1, &oldest,
                         nullptr) != SQLITE_OK) {
    return fail();
  }
  // Walks newest first, keeping versions while they fit; the first that does not fit and
  // everything older goes.
  std::uint64_t kept = 0;
  std::int64_t cut = 0;
  bool newest = true;
  while ((rc = stepRetrying(oldest)) == SQLITE_ROW) {
    auto size = static_cast<std::uint64_t>(sqlite3_column_int64(oldest, 1));
    if (!newest && kept + size > limits_.totalBytes) {
      cut = sqlite3_column_int64(oldest, 0);
      rc = SQLITE_DONE;
      break;
    }
    kept += size;
    newest = false;
  }
  sqlite3_finalize(oldest);
  if (rc != SQLITE_DONE) return fail();
  if (cut == 0) return Status::Ok();
  std::string drop = "DELETE FROM settings_history WHERE number <= " + std::to_string(cut);
  if (sqlite3_exec(db_, drop.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
  return Status::Ok();
}

std::uint64_t SettingsStore::generation() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (stepRetrying(dataVersion_) == SQLITE_ROW) {
    std::int64_t version = sqlite3_column_int64(dataVersion_, 0);
    if (version != lastDataVersion_) {
      lastDataVersion_ = version;
      ++generation_;
    }
  } else {
    ++generation_;  // cannot tell: say it moved, so the caller reads again
  }
  sqlite3_reset(dataVersion_);
  return generation_;
}

Result<SettingsStore::Lock> SettingsStore::lock() { return homeLock_->lock(); }

void SettingsStore::setLockWait(std::chrono::milliseconds wait) { homeLock_->setWait(wait); }

}  // namespace quillbox
