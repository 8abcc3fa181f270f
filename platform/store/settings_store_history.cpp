// The settings store's history as it is read (the kept versions and their values), and the causes and
// limits its writes keep versions with; the writes that keep and trim them are in settings_store.cpp.
#include <sqlite3.h>

#include <utility>

#include "base/escape.h"
#include "base/stored_lists.h"
#include "platform/store/settings_store.h"

namespace quillbox {

namespace {

// The cause named by the innermost CauseScope of this thread, if any.
thread_local const std::string* tScopeCause = nullptr;

}  // namespace

bool SettingsStore::keepsHistory(std::string_view key) {
  return storedListWithLocalKey(key) != nullptr;  // the list strings
}

SettingsStore::CauseScope::CauseScope(std::string_view cause) : cause_(cause), previous_(tScopeCause) {
  tScopeCause = &cause_;
}

SettingsStore::CauseScope::~CauseScope() { tScopeCause = previous_; }

void SettingsStore::setDefaultCause(std::string cause) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  defaultCause_ = std::move(cause);
}

std::string SettingsStore::currentCause() {
  if (tScopeCause != nullptr) return *tScopeCause;
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return defaultCause_;
}

void SettingsStore::setHistoryLimits(HistoryLimits limits) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  limits_ = limits;
}

Result<std::vector<SettingsStore::Version>> SettingsStore::versions(std::string_view key) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  std::vector<Version> found;
  Statement stmt;
  int rc = stmt.prepare(db_,
                        "SELECT number, time, cause, size FROM settings_history WHERE key = ?1 "
                        "ORDER BY number DESC");
  if (rc == SQLITE_OK) {
    stmt.reset().text(key);
    while ((rc = stmt.step()) == SQLITE_ROW) {
      found.push_back(Version{.number = stmt.columnInteger(0),
                              .timeMs = stmt.columnInteger(1),
                              .cause = stmt.columnBytes(2),
                              .bytes = static_cast<std::uint64_t>(stmt.columnInteger(3))});
    }
    stmt.done();
  }
  if (rc != SQLITE_DONE) {
    return Status::Error("cannot read the history of \"" + std::string(key) + "\" from " +
                         inQuotes(path_.string()) + ": " + errorText());
  }
  return found;
}

Result<std::optional<std::string>> SettingsStore::versionValue(std::string_view key, std::int64_t number) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  std::optional<std::string> value;
  Statement stmt;
  int rc = stmt.prepare(db_, "SELECT value FROM settings_history WHERE key = ?1 AND number = ?2");
  if (rc == SQLITE_OK) {
    rc = stmt.reset().text(key).integer(number).step();
    if (rc == SQLITE_ROW) {
      value = stmt.columnBytes(0);
      rc = SQLITE_DONE;
    }
    stmt.done();
  }
  if (rc != SQLITE_DONE) {
    return Status::Error("cannot read version " + std::to_string(number) + " of \"" + std::string(key) +
                         "\" from " + inQuotes(path_.string()) + ": " + errorText());
  }
  return value;
}

}  // namespace quillbox
