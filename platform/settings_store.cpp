#include "platform/settings_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <thread>
#include <utility>

#include "platform/home.h"

namespace quillbox {

namespace fs = std::filesystem;

// Durability: the database runs in WAL mode with synchronous=FULL. Every set() is one
// autocommit transaction, and with FULL the commit fsyncs the write-ahead log before it
// returns, so a returned write survives a kill and a power cut; SQLite syncs the folder when it
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

constexpr int kBusyTimeoutMs = 2000;
// SQLite answers some conflicts with SQLITE_BUSY without waiting (a snapshot moved under a
// writer, log recovery in progress); such a statement is simply run again, up to this long.
constexpr auto kBusyGiveUp = std::chrono::seconds(20);
// The log is cut back to this size after a checkpoint, so one huge value does not leave a
// huge file behind.
constexpr const char* kJournalSizeLimit = "PRAGMA journal_size_limit=8388608";

// The list strings whose replaced values are kept.
constexpr std::string_view kHistoryKeys[] = {"stringNotes", "stringTasks", "stringTasksFinishedIndices",
                                             "stringTaggedNotes"};

// The cause named by the innermost CauseScope of this thread, if any.
thread_local const std::string* tScopeCause = nullptr;

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool isBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Steps stmt once, retrying while another connection holds the database. Returns SQLite's code.
int stepRetrying(sqlite3_stmt* stmt) {
  auto giveUp = std::chrono::steady_clock::now() + kBusyGiveUp;
  for (;;) {
    int rc = sqlite3_step(stmt);
    if (!isBusy(rc) || std::chrono::steady_clock::now() > giveUp) return rc;
    sqlite3_reset(stmt);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Runs sql to completion; the first column of its first row, or "" when it gives no row.
Result<std::string> runRetrying(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    return Status::Error(sqlite3_errmsg(db));
  }
  std::string first;
  bool hadRow = false;
  int rc;
  while ((rc = stepRetrying(stmt)) == SQLITE_ROW) {
    if (!hadRow && sqlite3_column_type(stmt, 0) != SQLITE_NULL) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      if (text != nullptr) first = reinterpret_cast<const char*>(text);
    }
    hadRow = true;
  }
  Result<std::string> result =
      rc == SQLITE_DONE ? Result<std::string>(first) : Result<std::string>(Status::Error(sqlite3_errmsg(db)));
  sqlite3_finalize(stmt);
  return result;
}

// SQLite binds a null pointer as SQL NULL whatever the length; an empty value must stay a value.
const char* bytesOf(std::string_view text) { return text.data() != nullptr ? text.data() : ""; }

// In double quotes. (Built by appending: GCC 12 wrongly warns about "\"" + string.)
std::string quoted(const fs::path& path) {
  std::string text = "\"";
  text += path.string();
  text += '"';
  return text;
}

void syncFolder(const fs::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

// The lock of one home, shared by every store object on it in this process.
struct SettingsStore::HomeLock {
  ~HomeLock() { ::close(fd); }
  pid_t pid = 0;  // the process that opened fd: a forked child takes a lock of its own
  int fd = -1;
  std::recursive_mutex mutex;
  int depth = 0;  // guarded by mutex
};

namespace {

Result<std::shared_ptr<SettingsStore::HomeLock>> homeLockFor(const fs::path& home) {
  static std::mutex registryMutex;
  static std::map<std::string, std::weak_ptr<SettingsStore::HomeLock>>* registry =
      new std::map<std::string, std::weak_ptr<SettingsStore::HomeLock>>();  // outlives every store
  std::error_code error;
  fs::path canonical = fs::weakly_canonical(home, error);
  if (error) canonical = home;
  std::lock_guard<std::mutex> guard(registryMutex);
  auto& slot = (*registry)[canonical.string()];
  if (auto existing = slot.lock(); existing && existing->pid == ::getpid()) return existing;
  fs::path lockPath = home / "lock";
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return Status::Error("cannot open the lock file " + quoted(lockPath) + ": " + std::strerror(errno));
  auto made = std::make_shared<SettingsStore::HomeLock>();
  made->pid = ::getpid();
  made->fd = fd;
  slot = made;
  return made;
}

}  // namespace

SettingsStore::SettingsStore(Private, fs::path home)
    : home_(std::move(home)), path_(home_ / "settings.sqlite3") {}

SettingsStore::~SettingsStore() {
  for (sqlite3_stmt* stmt :
       {select_, upsert_, dataVersion_, begin_, commit_, insertVersion_, pruneKey_, historyBytes_}) {
    sqlite3_finalize(stmt);
  }
  sqlite3_close_v2(db_);
}

Result<std::shared_ptr<SettingsStore>> SettingsStore::open(const fs::path& home) {
  std::error_code error;
  fs::path absolute = fs::absolute(home, error).lexically_normal();
  if (error)
    return Status::Error("cannot open the settings store in " + quoted(home) + ": " + error.message());
  if (Status made = ensureFolder(absolute); !made) return made;
  auto store = std::make_shared<SettingsStore>(Private{}, absolute);
  if (Status prepared = store->prepare(); !prepared) return prepared;
  return store;
}

std::string SettingsStore::errorText() const {
  return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
}

Status SettingsStore::prepare() {
  auto fail = [&](const std::string& reason) {
    return Status::Error("cannot open the settings store " + quoted(path_) + ": " + reason);
  };
  auto lockResult = homeLockFor(home_);
  if (!lockResult) return lockResult.status();
  homeLock_ = std::move(lockResult).value();

  bool existed = fs::exists(path_);
  int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) return fail(errorText());
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);

  auto mode = runRetrying(db_, "PRAGMA journal_mode=WAL");
  if (!mode) return fail(mode.status().message());
  if (mode.value() != "wal")
    return fail("it cannot use a write-ahead log (journal mode " + mode.value() + ")");
  for (const char* sql :
       {"PRAGMA synchronous=FULL", kJournalSizeLimit,
        "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL)",
        "CREATE TABLE IF NOT EXISTS settings_history(number INTEGER PRIMARY KEY AUTOINCREMENT, "
        "key TEXT NOT NULL, time INTEGER NOT NULL, cause TEXT NOT NULL, size INTEGER NOT NULL, "
        "value BLOB NOT NULL)",
        "CREATE INDEX IF NOT EXISTS settings_history_by_key ON settings_history(key, number, size)"}) {
    if (auto done = runRetrying(db_, sql); !done) return fail(done.status().message());
  }
  if (!existed) syncFolder(home_);

  const char* statements[] = {
      "SELECT value FROM settings WHERE key = ?1",
      "INSERT INTO settings(key, value) VALUES(?1, ?2) "
      "ON CONFLICT(key) DO UPDATE SET value = excluded.value",
      "PRAGMA data_version",
      "BEGIN IMMEDIATE",
      "COMMIT",
      "INSERT INTO settings_history(key, time, cause, size, value) VALUES(?1, ?2, ?3, ?4, ?5)",
      "DELETE FROM settings_history WHERE key = ?1 AND number <= (SELECT number FROM settings_history "
      "WHERE key = ?1 ORDER BY number DESC LIMIT 1 OFFSET ?2)",
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
  std::lock_guard<std::mutex> guard(mutex_);
  sqlite3_bind_text64(select_, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
  int rc = stepRetrying(select_);
  Result<std::string> result = std::string();
  if (rc == SQLITE_ROW) {
    const void* bytes = sqlite3_column_blob(select_, 0);
    int size = sqlite3_column_bytes(select_, 0);
    if (bytes != nullptr && size > 0)
      result = std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
  } else if (rc != SQLITE_DONE) {
    result = Status::Error("cannot read the setting \"" + std::string(key) + "\" from " + quoted(path_) +
                           ": " + errorText());
  }
  sqlite3_reset(select_);
  sqlite3_clear_bindings(select_);
  return result;
}

Status SettingsStore::set(std::string_view key, std::string_view value) {
  return set(key, value, currentCause());
}

bool SettingsStore::keepsHistory(std::string_view key) {
  for (std::string_view kept : kHistoryKeys) {
    if (key == kept) return true;
  }
  return false;
}

Status SettingsStore::set(std::string_view key, std::string_view value, std::string_view cause) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto fail = [&] {
    return Status::Error("cannot save the setting \"" + std::string(key) + "\" in " + quoted(path_) + ": " +
                         errorText());
  };
  // Compares value with the stored one and says whether they are the same (a key never written
  // is not the same as ""); on a difference, hands the stored one (never written as "") to
  // onDifferent while it is still bound, and answers with what that answers.
  auto compare = [&](bool& same, const std::function<Status(std::string_view)>& onDifferent) {
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
      status = fail();
    }
    sqlite3_reset(select_);
    sqlite3_clear_bindings(select_);
    return status;
  };

  // An equal value is not written again: no transaction, no fsync, no move of the generation.
  bool same = false;
  if (Status compared = compare(same, nullptr); !compared.ok()) return compared;
  if (same) return Status::Ok();

  int began = stepRetrying(begin_);
  sqlite3_reset(begin_);
  if (began != SQLITE_DONE) return fail();
  // Read again under the write lock: another process may have written since.
  const bool history = keepsHistory(key) && limits_.versionsPerKey > 0;
  Status status = compare(same, [&](std::string_view replaced) {
    // A key never written and "" are the same empty list: no version for that.
    if (!history || replaced == value) return Status::Ok();
    return keepVersion(key, replaced, cause);
  });
  if (status.ok() && same) {
    rollback();
    return Status::Ok();
  }
  if (status.ok()) {
    sqlite3_bind_text64(upsert_, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
    sqlite3_bind_blob64(upsert_, 2, bytesOf(value), value.size(), SQLITE_STATIC);
    if (stepRetrying(upsert_) != SQLITE_DONE) status = fail();
    sqlite3_reset(upsert_);
    sqlite3_clear_bindings(upsert_);
  }
  if (status.ok() && keepsHistory(key)) status = pruneHistory(key);
  if (status.ok()) {
    if (stepRetrying(commit_) != SQLITE_DONE) status = fail();
    sqlite3_reset(commit_);
  }
  if (!status.ok()) {
    rollback();
    return status;
  }
  ++generation_;
  return status;
}

void SettingsStore::rollback() {
  // Some failures (a full disk, an I/O error) have already rolled the transaction back.
  if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

Status SettingsStore::keepVersion(std::string_view key, std::string_view replaced, std::string_view cause) {
  sqlite3_bind_text64(insertVersion_, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
  sqlite3_bind_int64(insertVersion_, 2, nowMs());
  sqlite3_bind_text64(insertVersion_, 3, bytesOf(cause), cause.size(), SQLITE_STATIC, SQLITE_UTF8);
  sqlite3_bind_int64(insertVersion_, 4, static_cast<sqlite3_int64>(replaced.size()));
  sqlite3_bind_blob64(insertVersion_, 5, bytesOf(replaced), replaced.size(), SQLITE_STATIC);
  int rc = stepRetrying(insertVersion_);
  sqlite3_reset(insertVersion_);
  sqlite3_clear_bindings(insertVersion_);
  if (rc == SQLITE_DONE) return Status::Ok();
  return Status::Error("cannot keep the replaced value of \"" + std::string(key) + "\" in " + quoted(path_) +
                       ": " + errorText());
}

Status SettingsStore::pruneHistory(std::string_view key) {
  auto fail = [&] {
    return Status::Error("cannot trim the history of \"" + std::string(key) + "\" in " + quoted(path_) +
                         ": " + errorText());
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

SettingsStore::CauseScope::CauseScope(std::string_view cause) : cause_(cause), previous_(tScopeCause) {
  tScopeCause = &cause_;
}

SettingsStore::CauseScope::~CauseScope() { tScopeCause = previous_; }

void SettingsStore::setDefaultCause(std::string cause) {
  std::lock_guard<std::mutex> guard(mutex_);
  defaultCause_ = std::move(cause);
}

std::string SettingsStore::currentCause() {
  if (tScopeCause != nullptr) return *tScopeCause;
  std::lock_guard<std::mutex> guard(mutex_);
  return defaultCause_;
}

void SettingsStore::setHistoryLimits(HistoryLimits limits) {
  std::lock_guard<std::mutex> guard(mutex_);
  limits_ = limits;
}

Result<std::vector<SettingsStore::Version>> SettingsStore::versions(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<Version> found;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_,
                              "SELECT number, time, cause, size FROM settings_history WHERE key = ?1 "
                              "ORDER BY number DESC",
                              -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text64(stmt, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
    while ((rc = stepRetrying(stmt)) == SQLITE_ROW) {
      Version version;
      version.number = sqlite3_column_int64(stmt, 0);
      version.timeMs = sqlite3_column_int64(stmt, 1);
      const unsigned char* cause = sqlite3_column_text(stmt, 2);
      if (cause != nullptr) version.cause = reinterpret_cast<const char*>(cause);
      version.bytes = static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 3));
      found.push_back(std::move(version));
    }
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    return Status::Error("cannot read the history of \"" + std::string(key) + "\" from " + quoted(path_) +
                         ": " + errorText());
  }
  return found;
}

Result<std::optional<std::string>> SettingsStore::versionValue(std::string_view key, std::int64_t number) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::optional<std::string> value;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, "SELECT value FROM settings_history WHERE key = ?1 AND number = ?2", -1,
                              &stmt, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text64(stmt, 1, bytesOf(key), key.size(), SQLITE_STATIC, SQLITE_UTF8);
    sqlite3_bind_int64(stmt, 2, number);
    rc = stepRetrying(stmt);
    if (rc == SQLITE_ROW) {
      const void* bytes = sqlite3_column_blob(stmt, 0);
      auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0));
      value = bytes != nullptr ? std::string(static_cast<const char*>(bytes), size) : std::string();
      rc = SQLITE_DONE;
    }
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    return Status::Error("cannot read version " + std::to_string(number) + " of \"" + std::string(key) +
                         "\" from " + quoted(path_) + ": " + errorText());
  }
  return value;
}

std::uint64_t SettingsStore::generation() {
  std::lock_guard<std::mutex> guard(mutex_);
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

SettingsStore::Lock SettingsStore::lock() {
  HomeLock& home = *homeLock_;
  home.mutex.lock();
  if (home.depth++ == 0) {
    // Should flock fail for another reason than a signal, the lock still excludes this
    // process's other threads; there is nothing better to do.
    while (::flock(home.fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  return Lock(homeLock_);
}

SettingsStore::Lock::Lock(Lock&& other) noexcept : home_(std::move(other.home_)) {}

SettingsStore::Lock& SettingsStore::Lock::operator=(Lock&& other) noexcept {
  if (this != &other) {
    release();
    home_ = std::move(other.home_);
  }
  return *this;
}

SettingsStore::Lock::~Lock() { release(); }

void SettingsStore::Lock::release() {
  if (!home_) return;
  if (--home_->depth == 0) ::flock(home_->fd, LOCK_UN);
  home_->mutex.unlock();
  home_.reset();
}

}  // namespace quillbox
