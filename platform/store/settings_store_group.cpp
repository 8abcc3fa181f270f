// The settings store's write groups, and the connection lent to the stores that keep tables of their own
// in the same database (the cloud outbox): see settings_store.cpp for how a write is stored.
#include <sqlite3.h>

#include "base/escape.h"
#include "platform/store/settings_store.h"

namespace quillbox {

SettingsStore::WriteGroup::WriteGroup(SettingsStore& store) : store_(store), guard_(store.mutex_) {
  if (store_.group_ == nullptr) {
    store_.group_ = this;
  } else {
    done_ = true;  // a group inside another on the same store: the outer one commits
  }
}

SettingsStore::WriteGroup::~WriteGroup() {
  if (done_) return;
  if (began_) store_.rollback();
  store_.group_ = nullptr;
}

Status SettingsStore::WriteGroup::commit() {
  if (done_) return failure_;
  done_ = true;
  store_.group_ = nullptr;
  if (!failure_.ok() || !began_) return failure_;
  Status status = Status::Ok();
  if (stepRetrying(store_.commit_) != SQLITE_DONE) {
    status = Status::Error("cannot save the settings in " + inQuotes(store_.path_.string()) + ": " +
                           store_.errorText());
  }
  sqlite3_reset(store_.commit_);
  if (!status.ok()) store_.rollback();
  if (status.ok()) ++store_.generation_;
  for (const std::string& key : keys_) store_.noteTrouble(key, status);
  return status;
}

Status SettingsStore::writeWith(const std::function<Status(Database&)>& work) {
  WriteGroup group(*this);
  WriteGroup& outer = *group_;
  if (!outer.failure_.ok()) return outer.failure_;
  Status status = Status::Ok();
  if (!outer.began_) {
    if (stepRetrying(begin_) == SQLITE_DONE) {
      outer.began_ = true;
    } else {
      status = Status::Error("cannot write " + inQuotes(path_.string()) + ": " + errorText());
    }
    sqlite3_reset(begin_);
  }
  if (status.ok()) status = work(*database_);
  if (!status.ok()) {
    rollback();
    outer.failure_ = status;
    return status;
  }
  return group.commit();
}

Status SettingsStore::readWith(const std::function<Status(Database&)>& work) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return work(*database_);
}

bool SettingsStore::inGroup() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return group_ != nullptr;  // set only by a thread that holds mutex_ for the group's life
}

}  // namespace quillbox
