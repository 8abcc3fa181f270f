#include "platform/sync/outbox.h"

#include <sqlite3.h>

#include "base/wall_clock.h"

namespace quillbox {

Result<std::unique_ptr<Outbox>> Outbox::open(const std::filesystem::path& home, std::string identity,
                                             std::string_view legacyRedisNamespace) {
  Result<std::unique_ptr<Database>> db = Database::open(home / "settings.sqlite3");
  if (!db.ok()) return db.status();
  std::unique_ptr<Outbox> outbox(new Outbox(std::move(db.value()), std::move(identity)));
  if (Status prepared = outbox->prepare(legacyRedisNamespace); !prepared.ok()) return prepared;
  return outbox;
}

Status Outbox::prepare(std::string_view legacyRedisNamespace) {
  if (Status made =
          db_->exec("CREATE TABLE IF NOT EXISTS cloud_copy("
                    " store TEXT NOT NULL, key TEXT NOT NULL, value BLOB NOT NULL,"
                    " PRIMARY KEY(store, key));"
                    "CREATE TABLE IF NOT EXISTS cloud_pending("
                    " id INTEGER PRIMARY KEY AUTOINCREMENT, store TEXT NOT NULL, key TEXT NOT NULL,"
                    " value BLOB NOT NULL, since INTEGER NOT NULL, batch INTEGER NOT NULL DEFAULT 0,"
                    " UNIQUE(store, key));"
                    "CREATE TABLE IF NOT EXISTS cloud_base("
                    " store TEXT NOT NULL, key TEXT NOT NULL, present INTEGER NOT NULL,"
                    " value BLOB NOT NULL, PRIMARY KEY(store, key))");
      !made.ok()) {
    return made;
  }
  // An outbox made before writes were recorded in batches: its pending writes form one.
  auto hasBatch = [&] {
    Statement probe;
    return probe.prepare(db_->handle(), "SELECT batch FROM cloud_pending LIMIT 0") == SQLITE_OK;
  };
  if (!hasBatch()) {
    Status added = db_->exec("ALTER TABLE cloud_pending ADD COLUMN batch INTEGER NOT NULL DEFAULT 0");
    if (!added.ok() && !hasBatch()) return added;  // another process may have added it meanwhile
  }
  struct {
    Statement* statement;
    const char* sql;
  } const kStatements[] = {
      {&putCopy_,
       "INSERT INTO cloud_copy(store, key, value) VALUES(?1, ?2, ?3)"
       " ON CONFLICT(store, key) DO UPDATE SET value = excluded.value"},
      // REPLACE deletes the older row, so every write gets a fresh id (AUTOINCREMENT never reuses one).
      {&putPending_,
       "INSERT OR REPLACE INTO cloud_pending(store, key, value, since, batch) VALUES(?1, ?2, ?3, ?4, ?5)"},
      {&nextBatch_, "SELECT COALESCE(MAX(batch), 0) + 1 FROM cloud_pending"},
      {&isPending_, "SELECT 1 FROM cloud_pending WHERE store = ?1 AND key = ?2"},
      {&listPending_,
       "SELECT id, CAST(key AS BLOB), value, batch FROM cloud_pending WHERE store = ?1 ORDER BY id"},
      {&listPendingKeys_, "SELECT CAST(key AS BLOB) FROM cloud_pending WHERE store = ?1 ORDER BY id"},
      {&deletePending_, "DELETE FROM cloud_pending WHERE id = ?1"},
      {&getCopy_, "SELECT value FROM cloud_copy WHERE store = ?1 AND key = ?2"},
      {&rememberCopy_,
       "INSERT INTO cloud_copy(store, key, value) SELECT ?1, ?2, ?3"
       " WHERE NOT EXISTS(SELECT 1 FROM cloud_pending WHERE store = ?1 AND key = ?2)"
       " ON CONFLICT(store, key) DO UPDATE SET value = excluded.value WHERE value IS NOT excluded.value"},
      {&forgetCopy_,
       "DELETE FROM cloud_copy WHERE store = ?1 AND key = ?2"
       " AND NOT EXISTS(SELECT 1 FROM cloud_pending WHERE store = ?1 AND key = ?2)"},
      {&getBase_, "SELECT present, value FROM cloud_base WHERE store = ?1 AND key = ?2"},
      {&putBase_,
       "INSERT INTO cloud_base(store, key, present, value) VALUES(?1, ?2, ?3, ?4)"
       " ON CONFLICT(store, key) DO UPDATE SET present = excluded.present, value = excluded.value"
       " WHERE present IS NOT excluded.present OR value IS NOT excluded.value"},
      {&putBaseUnlessPending_,
       "INSERT INTO cloud_base(store, key, present, value) SELECT ?1, ?2, ?3, ?4"
       " WHERE NOT EXISTS(SELECT 1 FROM cloud_pending WHERE store = ?1 AND key = ?2)"
       " ON CONFLICT(store, key) DO UPDATE SET present = excluded.present, value = excluded.value"
       " WHERE present IS NOT excluded.present OR value IS NOT excluded.value"},
  };
  for (const auto& entry : kStatements) {
    if (entry.statement->prepare(db_->handle(), entry.sql) != SQLITE_OK)
      return db_->problem("prepare the outbox");
  }
  return legacyRedisNamespace.empty() ? Status::Ok() : migrate(legacyRedisNamespace);
}

Status Outbox::migrate(std::string_view nameSpace) {
  Statement legacy;
  if (legacy.prepare(db_->handle(), "SELECT count(*) FROM sqlite_master WHERE name = 'redis_pending'") !=
          SQLITE_OK ||
      legacy.step() != SQLITE_ROW) {
    return db_->problem("look for the Redis store's earlier tables");
  }
  bool present = legacy.columnInteger(0) > 0;
  legacy.done();
  if (!present) return Status::Ok();

  const char* const kMoves[] = {
      "INSERT OR IGNORE INTO cloud_copy(store, key, value)"
      " SELECT ?1, key, value FROM redis_copy WHERE namespace = ?2",
      "INSERT OR IGNORE INTO cloud_pending(store, key, value, since)"
      " SELECT ?1, key, value, since FROM redis_pending WHERE namespace = ?2 ORDER BY id",
      "DELETE FROM redis_copy WHERE namespace = ?2",
      "DELETE FROM redis_pending WHERE namespace = ?2",
  };
  if (Status began = db_->exec("BEGIN IMMEDIATE"); !began.ok()) return began;
  for (const char* sql : kMoves) {
    Statement move;
    if (move.prepare(db_->handle(), sql) != SQLITE_OK ||
        move.reset().text(identity_).text(nameSpace).step() != SQLITE_DONE) {
      Status failure = db_->problem("take over the Redis store's earlier pending writes");
      move.done();
      (void)db_->exec("ROLLBACK");
      return failure;
    }
    move.done();
  }
  if (Status committed = db_->exec("COMMIT"); !committed.ok()) {
    (void)db_->exec("ROLLBACK");
    return committed;
  }
  return Status::Ok();
}

Result<std::vector<std::int64_t>> Outbox::record(std::span<const CloudWriteView> writes) {
  std::vector<std::int64_t> ids;
  if (writes.empty()) return ids;
  if (Status began = db_->exec("BEGIN IMMEDIATE"); !began.ok()) return began;
  std::int64_t batch = 0;
  if (nextBatch_.reset().step() == SQLITE_ROW) batch = nextBatch_.columnInteger(0);
  nextBatch_.done();
  for (const CloudWriteView& write : writes) {
    int rc =
        batch > 0 ? putCopy_.reset().text(identity_).text(write.key).blob(write.value).step() : SQLITE_ERROR;
    putCopy_.done();
    if (rc == SQLITE_DONE) {
      rc = putPending_.reset()
               .text(identity_)
               .text(write.key)
               .blob(write.value)
               .integer(millisecondsSince1970())
               .integer(batch)
               .step();
      putPending_.done();
    }
    if (rc != SQLITE_DONE) {
      Status failure = db_->problem("keep the cloud write of \"" + std::string(write.key) + "\"");
      (void)db_->exec("ROLLBACK");
      return failure;
    }
    ids.push_back(sqlite3_last_insert_rowid(db_->handle()));
  }
  if (Status committed = db_->exec("COMMIT"); !committed.ok()) {
    if (sqlite3_get_autocommit(db_->handle()) == 0) (void)db_->exec("ROLLBACK");
    return committed;
  }
  return ids;
}

Result<std::vector<Outbox::Pending>> Outbox::pending() {
  Statement& s = listPending_.reset().text(identity_);
  std::vector<Pending> writes;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW)
    writes.push_back({s.columnInteger(0), s.columnBytes(1), s.columnBytes(2), s.columnInteger(3)});
  s.done();
  if (rc != SQLITE_DONE) return db_->problem("read the cloud writes not yet sent");
  return writes;
}

Result<std::vector<std::string>> Outbox::pendingKeys() {
  Statement& s = listPendingKeys_.reset().text(identity_);
  std::vector<std::string> keys;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) keys.push_back(s.columnBytes(0));
  s.done();
  if (rc != SQLITE_DONE) return db_->problem("read the cloud writes not yet sent");
  return keys;
}

Result<bool> Outbox::isPending(std::string_view key) {
  Statement& s = isPending_.reset().text(identity_).text(key);
  int rc = s.step();
  s.done();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return db_->problem("read the cloud writes not yet sent");
  return rc == SQLITE_ROW;
}

Status Outbox::delivered(std::span<const Delivered> writes) {
  if (writes.empty()) return Status::Ok();
  // Forgetting need not reach the disk at once: should a power cut undo it, the write is sent again
  // over its own value, to the same effect. The next commit that syncs carries it along.
  if (Status lighter = db_->exec("PRAGMA synchronous=NORMAL; BEGIN IMMEDIATE"); !lighter.ok()) {
    (void)db_->exec("PRAGMA synchronous=FULL");
    return lighter;
  }
  Status status = Status::Ok();
  for (const Delivered& write : writes) {
    int rc = deletePending_.reset().integer(write.id).step();
    deletePending_.done();
    if (rc == SQLITE_DONE) {
      rc = putBase_.reset().text(identity_).text(write.key).integer(1).blob(write.value).step();
      putBase_.done();
    }
    if (rc != SQLITE_DONE) {
      status = db_->problem("forget a cloud write that was sent");
      break;
    }
  }
  if (status.ok()) status = db_->exec("COMMIT");
  if (!status.ok() && sqlite3_get_autocommit(db_->handle()) == 0) (void)db_->exec("ROLLBACK");
  if (Status full = db_->exec("PRAGMA synchronous=FULL"); status.ok()) status = full;
  return status;
}

Result<Outbox::Base> Outbox::baseOf(std::string_view key) {
  Statement& s = getBase_.reset().text(identity_).text(key);
  int rc = s.step();
  Base base;
  if (rc == SQLITE_ROW) {
    base.known = true;
    if (s.columnInteger(0) != 0) base.value = s.columnBytes(1);
  }
  s.done();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE)
    return db_->problem("read the cloud base of \"" + std::string(key) + "\"");
  return base;
}

Status Outbox::putBase(std::string_view key, const std::optional<std::string>& value,
                       bool onlyUnlessPending) {
  Statement& s = onlyUnlessPending ? putBaseUnlessPending_ : putBase_;
  int rc = s.reset()
               .text(identity_)
               .text(key)
               .integer(value ? 1 : 0)
               .blob(value ? std::string_view(*value) : std::string_view())
               .step();
  s.done();
  return rc == SQLITE_DONE ? Status::Ok()
                           : db_->problem("keep the cloud base of \"" + std::string(key) + "\"");
}

Status Outbox::rebase(std::string_view key, const std::optional<std::string>& value) {
  return putBase(key, value, false);
}

Result<std::optional<std::string>> Outbox::copyOf(std::string_view key) {
  Statement& s = getCopy_.reset().text(identity_).text(key);
  int rc = s.step();
  std::optional<std::string> value;
  if (rc == SQLITE_ROW) value = s.columnBytes(0);
  s.done();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE)
    return db_->problem("read the local copy of \"" + std::string(key) + "\"");
  return value;
}

Status Outbox::remember(std::string_view key, const std::optional<std::string>& value) {
  if (Status began = db_->exec("BEGIN IMMEDIATE"); !began.ok()) return began;
  Statement& s = value ? rememberCopy_.reset().text(identity_).text(key).blob(*value)
                       : forgetCopy_.reset().text(identity_).text(key);
  int rc = s.step();
  s.done();
  Status status = rc == SQLITE_DONE ? putBase(key, value, true)
                                    : db_->problem("keep the local copy of \"" + std::string(key) + "\"");
  if (status.ok()) status = db_->exec("COMMIT");
  if (!status.ok() && sqlite3_get_autocommit(db_->handle()) == 0) (void)db_->exec("ROLLBACK");
  return status;
}

}  // namespace quillbox
