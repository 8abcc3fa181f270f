#include "platform/sync/outbox.h"

#include <sqlite3.h>

#include <algorithm>

#include "base/wall_clock.h"
#include "platform/crypto/secrets.h"

namespace quillbox {

namespace {

// Reads the row of the identity's key through a statement in one read of the store, handing it to
// onRow when there is one. A read that fails names what was read.
template <class OnRow>
Status readKeyRow(SettingsStore& store, Statement& statement, const std::string& identity,
                  std::string_view key, std::string_view what, OnRow onRow) {
  return store.readWith([&](Database& db) {
    Statement& s = statement.reset().text(identity).text(key);
    int rc = s.step();
    if (rc == SQLITE_ROW) onRow(s);
    s.done();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
      return db.problem("read the " + std::string(what) + " of \"" + std::string(key) + "\"");
    return Status::Ok();
  });
}

// cloud_pending's columns as this version makes them.
constexpr const char* kPendingColumns =
    "(id INTEGER PRIMARY KEY AUTOINCREMENT, store TEXT NOT NULL, key TEXT NOT NULL, value BLOB NOT NULL,"
    " since INTEGER NOT NULL, batch INTEGER NOT NULL DEFAULT 0, name TEXT NOT NULL DEFAULT '',"
    " sent INTEGER NOT NULL DEFAULT 0, earlier_name TEXT, earlier_value BLOB, earlier_batch INTEGER,"
    " UNIQUE(store, key))";

// The columns an outbox made by an earlier version may lack. Made before writes were recorded in
// batches: its pending writes form one. Made before writes were named: they go without a name. Made
// before a write replaced while on its way was kept: nothing waits behind another.
constexpr const char* kLaterColumns[] = {"batch",        "name",          "sent",
                                         "earlier_name", "earlier_value", "earlier_batch"};

bool hasColumn(Database& db, const char* column) {
  Statement probe;
  return probe.prepare(db.handle(),
                       (std::string("SELECT ") + column + " FROM cloud_pending LIMIT 0").c_str()) ==
         SQLITE_OK;
}

// The columns cloud_pending holds when it lacks some of this version's, to be kept; "" when it holds
// them all.
std::string columnsToKeep(Database& db) {
  std::string kept = "id, store, key, value, since";
  bool lacking = false;
  for (const char* column : kLaterColumns) {
    if (hasColumn(db, column)) {
      kept += std::string(", ") + column;
    } else {
      lacking = true;
    }
  }
  return lacking ? kept : "";
}

}  // namespace

Result<std::unique_ptr<Outbox>> Outbox::open(const std::filesystem::path& home, std::string identity,
                                             std::string_view legacyRedisNamespace) {
  Result<std::shared_ptr<SettingsStore>> store = SettingsStore::open(home);
  if (!store.ok()) return store.status();
  std::unique_ptr<Outbox> outbox(new Outbox(std::move(store).value(), std::move(identity)));
  Status prepared =
      outbox->store_->readWith([&](Database& db) { return outbox->prepare(db, legacyRedisNamespace); });
  if (!prepared.ok()) return prepared;
  return outbox;
}

Status Outbox::prepare(Database& db, std::string_view legacyRedisNamespace) {
  const std::string tables =
      "CREATE TABLE IF NOT EXISTS cloud_copy("
      " store TEXT NOT NULL, key TEXT NOT NULL, value BLOB NOT NULL,"
      " PRIMARY KEY(store, key));"
      "CREATE TABLE IF NOT EXISTS cloud_base("
      " store TEXT NOT NULL, key TEXT NOT NULL, present INTEGER NOT NULL,"
      " value BLOB NOT NULL, PRIMARY KEY(store, key));"
      "CREATE TABLE IF NOT EXISTS cloud_pending" +
      std::string(kPendingColumns);
  if (Status made = db.exec(tables.c_str()); !made.ok()) return made;
  if (Status upgraded = upgradePending(db); !upgraded.ok()) return upgraded;
  if (Status prepared = prepareStatements(db); !prepared.ok()) return prepared;
  return legacyRedisNamespace.empty() ? Status::Ok() : migrate(db, legacyRedisNamespace);
}

// An outbox made by an earlier version lacks some of cloud_pending's columns: the table is made anew
// with all of them in one transaction, its rows and its count of ids kept (an id is never given
// twice). No ALTER TABLE: the phone's SQLite is built without it. Another process may have done it
// meanwhile.
Status Outbox::upgradePending(Database& db) {
  if (columnsToKeep(db).empty()) return Status::Ok();
  return store_->writeWith([&](Database& inside) {
    std::string kept = columnsToKeep(inside);
    if (kept.empty()) return Status::Ok();  // another process made it anew meanwhile
    return inside.exec(
        ("CREATE TABLE cloud_pending_earlier AS SELECT * FROM cloud_pending;"
         "CREATE TABLE cloud_pending_count AS SELECT seq FROM sqlite_sequence WHERE name = 'cloud_pending';"
         "DROP TABLE cloud_pending;"
         "CREATE TABLE cloud_pending" +
         std::string(kPendingColumns) +
         ";"
         "INSERT INTO cloud_pending(" +
         kept + ") SELECT " + kept +
         " FROM cloud_pending_earlier ORDER BY id;"
         "UPDATE sqlite_sequence SET seq = max(seq, COALESCE((SELECT seq FROM cloud_pending_count), 0))"
         " WHERE name = 'cloud_pending';"
         "INSERT INTO sqlite_sequence(name, seq) SELECT 'cloud_pending', seq FROM cloud_pending_count"
         " WHERE NOT EXISTS(SELECT 1 FROM sqlite_sequence WHERE name = 'cloud_pending');"
         "DROP TABLE cloud_pending_earlier; DROP TABLE cloud_pending_count")
            .c_str());
  });
}

Status Outbox::prepareStatements(Database& db) {
  struct {
    Statement* statement;
    const char* sql;
  } const kStatements[] = {
      {&putCopy_, "INSERT OR REPLACE INTO cloud_copy(store, key, value) VALUES(?1, ?2, ?3)"},
      // REPLACE deletes the older row, so every write gets a fresh id (AUTOINCREMENT never reuses one).
      // The very value recorded again (a screen saving what it holds) is the same write: it keeps its
      // name, which the backing may already know it by. A different value replacing a write on its way
      // keeps that one beside it (earlier_*), to be sent again first; one kept already stays.
      {&putPending_,
       "INSERT OR REPLACE INTO cloud_pending(store, key, value, since, batch, name, sent, earlier_name,"
       " earlier_value, earlier_batch) SELECT ?1, ?2, ?3, ?4, ?5,"
       " CASE WHEN o.same THEN o.name ELSE ?6 END, CASE WHEN o.same THEN o.sent ELSE 0 END,"
       " CASE WHEN o.sent AND NOT o.same THEN o.name ELSE o.earlier_name END,"
       " CASE WHEN o.sent AND NOT o.same THEN o.value ELSE o.earlier_value END,"
       " CASE WHEN o.sent AND NOT o.same THEN o.batch ELSE o.earlier_batch END"
       " FROM (SELECT 1) LEFT JOIN (SELECT name, sent, value, batch, earlier_name, earlier_value,"
       " earlier_batch, value = ?3 AS same FROM cloud_pending WHERE store = ?1 AND key = ?2) AS o"},
      // The write just recorded, read back in its transaction (the phone's SQLite has no RETURNING).
      {&recordedRow_,
       "SELECT id, name, earlier_batch IS NOT NULL FROM cloud_pending WHERE store = ?1 AND key = ?2"},
      {&nextBatch_, "SELECT COALESCE(MAX(batch), 0) + 1 FROM cloud_pending"},
      {&isPending_, "SELECT 1 FROM cloud_pending WHERE store = ?1 AND key = ?2"},
      {&isUnanswered_,
       "SELECT 1 FROM cloud_pending WHERE store = ?1 AND key = ?2 AND (sent OR earlier_batch IS NOT NULL)"},
      {&listPending_,
       "SELECT id, CAST(key AS BLOB), value, batch, name, earlier_batch IS NOT NULL, earlier_batch,"
       " earlier_value, earlier_name"
       " FROM cloud_pending WHERE store = ?1 ORDER BY id"},
      {&listPendingKeys_, "SELECT CAST(key AS BLOB) FROM cloud_pending WHERE store = ?1 ORDER BY id"},
      {&deletePending_, "DELETE FROM cloud_pending WHERE id = ?1"},
      // Only a write with nothing kept beside it goes: a replaced one goes first.
      {&markSending_, "UPDATE cloud_pending SET sent = 1 WHERE id = ?1 AND earlier_batch IS NULL"},
      {&markNotSending_, "UPDATE cloud_pending SET sent = 0 WHERE id = ?1"},
      // The copy of a replaced write, known by its row when it was sent as one, else by its name.
      {&forgetReplaced_,
       "UPDATE cloud_pending SET earlier_name = NULL, earlier_value = NULL, earlier_batch = NULL"
       " WHERE store = ?1 AND key = ?2 AND earlier_batch IS NOT NULL"
       " AND ((?3 AND id = ?4) OR (earlier_name = ?5 AND ?5 <> ''))"},
      {&getCopy_, "SELECT value FROM cloud_copy WHERE store = ?1 AND key = ?2"},
      {&rememberCopy_,
       "INSERT OR REPLACE INTO cloud_copy(store, key, value) SELECT ?1, ?2, ?3"
       " WHERE NOT EXISTS(SELECT 1 FROM cloud_pending WHERE store = ?1 AND key = ?2)"
       " AND NOT EXISTS(SELECT 1 FROM cloud_copy WHERE store = ?1 AND key = ?2 AND value IS ?3)"},
      {&forgetCopy_,
       "DELETE FROM cloud_copy WHERE store = ?1 AND key = ?2"
       " AND NOT EXISTS(SELECT 1 FROM cloud_pending WHERE store = ?1 AND key = ?2)"},
      {&withdrawPending_, "DELETE FROM cloud_pending WHERE store = ?1 AND key = ?2"},
      {&withdrawCopy_, "DELETE FROM cloud_copy WHERE store = ?1 AND key = ?2"},
      {&getBase_, "SELECT present, value FROM cloud_base WHERE store = ?1 AND key = ?2"},
      {&putBase_,
       "INSERT OR REPLACE INTO cloud_base(store, key, present, value) SELECT ?1, ?2, ?3, ?4"
       " WHERE NOT EXISTS(SELECT 1 FROM cloud_base WHERE store = ?1 AND key = ?2 AND present IS ?3"
       " AND value IS ?4)"},
      {&putBaseUnlessPending_,
       "INSERT OR REPLACE INTO cloud_base(store, key, present, value) SELECT ?1, ?2, ?3, ?4"
       " WHERE NOT EXISTS(SELECT 1 FROM cloud_pending WHERE store = ?1 AND key = ?2)"
       " AND NOT EXISTS(SELECT 1 FROM cloud_base WHERE store = ?1 AND key = ?2 AND present IS ?3"
       " AND value IS ?4)"},
  };
  for (const auto& entry : kStatements) {
    if (entry.statement->prepare(db.handle(), entry.sql) != SQLITE_OK)
      return db.problem("prepare the outbox");
  }
  return Status::Ok();
}

Status Outbox::migrate(Database& db, std::string_view nameSpace) {
  Statement legacy;
  if (legacy.prepare(db.handle(), "SELECT count(*) FROM sqlite_master WHERE name = 'redis_pending'") !=
          SQLITE_OK ||
      legacy.step() != SQLITE_ROW) {
    return db.problem("look for the Redis store's earlier tables");
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
  return store_->writeWith([&](Database& inside) {
    for (const char* sql : kMoves) {
      Statement move;
      if (move.prepare(inside.handle(), sql) != SQLITE_OK ||
          move.reset().text(identity_).text(nameSpace).step() != SQLITE_DONE) {
        Status failure = inside.problem("take over the Redis store's earlier pending writes");
        move.done();
        return failure;
      }
      move.done();
    }
    return Status::Ok();
  });
}

Result<std::vector<Outbox::Recorded>> Outbox::record(std::span<const CloudWriteView> writes) {
  std::vector<Recorded> ids;
  if (writes.empty()) return ids;
  Status recorded = store_->writeWith([&](Database& db) {
    std::int64_t batch = 0;
    if (nextBatch_.reset().step() == SQLITE_ROW) batch = nextBatch_.columnInteger(0);
    nextBatch_.done();
    for (const CloudWriteView& write : writes) {
      // Without random bits the write goes unnamed, as one recorded before names: never mistaken for another.
      Result<std::string> name = randomHex(16);
      int rc = batch > 0 ? putCopy_.reset().text(identity_).text(write.key).blob(write.value).step()
                         : SQLITE_ERROR;
      putCopy_.done();
      if (rc == SQLITE_DONE) {
        rc = putPending_.reset()
                 .text(identity_)
                 .text(write.key)
                 .blob(write.value)
                 .integer(millisecondsSince1970())
                 .integer(batch)
                 .text(name.ok() ? std::string_view(name.value()) : std::string_view())
                 .step();
        putPending_.done();
      }
      if (rc == SQLITE_DONE) {
        rc = recordedRow_.reset().text(identity_).text(write.key).step();
        if (rc == SQLITE_ROW) {
          ids.push_back({recordedRow_.columnInteger(0), recordedRow_.columnBytes(1),
                         recordedRow_.columnInteger(2) != 0});
          rc = recordedRow_.step();
        } else {
          rc = SQLITE_ERROR;  // the row just written must be there
        }
        recordedRow_.done();
      }
      if (rc != SQLITE_DONE) return db.problem("keep the cloud write of \"" + std::string(write.key) + "\"");
    }
    return Status::Ok();
  });
  if (!recorded.ok()) return recorded;
  return ids;
}

Result<std::vector<Outbox::Pending>> Outbox::readPending(bool replacedFirst) {
  std::vector<Pending> writes;
  Status read = store_->readWith([&](Database& db) {
    Statement& s = listPending_.reset().text(identity_);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
      if (replacedFirst && s.columnInteger(5) != 0)
        writes.push_back({s.columnInteger(0), s.columnBytes(1), s.columnBytes(7), s.columnInteger(6),
                          s.columnBytes(8), true});
      else
        writes.push_back(
            {s.columnInteger(0), s.columnBytes(1), s.columnBytes(2), s.columnInteger(3), s.columnBytes(4)});
    }
    s.done();
    return rc == SQLITE_DONE ? Status::Ok() : db.problem("read the cloud writes not yet sent");
  });
  if (!read.ok()) return read;
  return writes;
}

Result<std::vector<Outbox::Pending>> Outbox::pending() { return readPending(false); }

Result<std::vector<Outbox::Pending>> Outbox::nextSends() {
  Result<std::vector<Pending>> next = readPending(true);
  // A replaced write goes with the writes recorded beside it, as it went the first time.
  if (next.ok())
    std::stable_sort(next->begin(), next->end(),
                     [](const Pending& a, const Pending& b) { return a.batch < b.batch; });
  return next;
}

Status Outbox::forgetReplaced(Database& db, const Sent& write) {
  int rc = forgetReplaced_.reset()
               .text(identity_)
               .text(write.key)
               .integer(write.replaced ? 1 : 0)
               .integer(write.id)
               .text(write.name)
               .step();
  forgetReplaced_.done();
  return rc == SQLITE_DONE ? Status::Ok() : db.problem("forget a replaced cloud write");
}

Status Outbox::sending(std::span<const Sent> writes) {
  if (writes.empty()) return Status::Ok();
  return store_->writeWith([&](Database& db) {
    for (const Sent& write : writes) {
      if (write.replaced) continue;  // on its way already
      int rc = markSending_.reset().integer(write.id).step();
      markSending_.done();
      if (rc != SQLITE_DONE) return db.problem("mark the cloud writes on their way");
    }
    return Status::Ok();
  });
}

Status Outbox::notMade(std::span<const Sent> writes) {
  if (writes.empty()) return Status::Ok();
  return store_->writeWith([&](Database& db) {
    for (const Sent& write : writes) {
      int rc = markNotSending_.reset().integer(write.id).step();
      markNotSending_.done();
      if (rc != SQLITE_DONE) return db.problem("forget a cloud write the backing did not make");
      if (Status forgotten = forgetReplaced(db, write); !forgotten.ok()) return forgotten;
    }
    return Status::Ok();
  });
}

Result<std::vector<std::string>> Outbox::pendingKeys() {
  std::vector<std::string> keys;
  Status read = store_->readWith([&](Database& db) {
    Statement& s = listPendingKeys_.reset().text(identity_);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) keys.push_back(s.columnBytes(0));
    s.done();
    return rc == SQLITE_DONE ? Status::Ok() : db.problem("read the cloud writes not yet sent");
  });
  if (!read.ok()) return read;
  return keys;
}

Result<bool> Outbox::isPending(std::string_view key) {
  int rc = SQLITE_ERROR;
  Status read = store_->readWith([&](Database& db) {
    Statement& s = isPending_.reset().text(identity_).text(key);
    rc = s.step();
    s.done();
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? Status::Ok()
                                                 : db.problem("read the cloud writes not yet sent");
  });
  if (!read.ok()) return read;
  return rc == SQLITE_ROW;
}

Result<bool> Outbox::isUnanswered(std::string_view key) {
  bool unanswered = false;
  Status read = readKeyRow(*store_, isUnanswered_, identity_, key, "cloud write",
                           [&](Statement&) { unanswered = true; });
  if (!read.ok()) return read;
  return unanswered;
}

Status Outbox::delivered(std::span<const Delivered> writes) {
  if (writes.empty()) return Status::Ok();
  return store_->writeWith([&](Database& db) {
    for (const Delivered& write : writes) {
      int rc = SQLITE_DONE;
      if (!write.replaced) {
        rc = deletePending_.reset().integer(write.id).step();
        deletePending_.done();
      }
      if (rc == SQLITE_DONE) {
        Status forgotten = forgetReplaced(db, Sent{write.id, write.key, write.name, write.replaced});
        if (!forgotten.ok()) return forgotten;
      }
      if (rc == SQLITE_DONE && write.sentOn != nullptr) {
        Result<Base> now = baseOf(write.key);
        if (!now.ok()) return now.status();
        if (now->known != write.sentOn->known || now->value != write.sentOn->value) continue;
      }
      if (rc == SQLITE_DONE) {
        rc = putBase_.reset().text(identity_).text(write.key).integer(1).blob(write.value).step();
        putBase_.done();
      }
      if (rc != SQLITE_DONE) return db.problem("forget a cloud write that was sent");
    }
    return Status::Ok();
  });
}

Status Outbox::withdraw(std::string_view key) {
  return store_->writeWith([&](Database& db) {
    for (Statement* s : {&withdrawPending_, &withdrawCopy_}) {
      int rc = s->reset().text(identity_).text(key).step();
      s->done();
      if (rc != SQLITE_DONE) return db.problem("withdraw the cloud write of \"" + std::string(key) + "\"");
    }
    return Status::Ok();
  });
}

Result<Outbox::Base> Outbox::baseOf(std::string_view key) {
  Base base;
  Status read = readKeyRow(*store_, getBase_, identity_, key, "cloud base", [&](Statement& s) {
    base.known = true;
    if (s.columnInteger(0) != 0) base.value = s.columnBytes(1);
  });
  if (!read.ok()) return read;
  return base;
}

Status Outbox::putBase(Database& db, std::string_view key, const std::optional<std::string>& value,
                       bool onlyUnlessPending) {
  Statement& s = onlyUnlessPending ? putBaseUnlessPending_ : putBase_;
  int rc = s.reset()
               .text(identity_)
               .text(key)
               .integer(value ? 1 : 0)
               .blob(value ? std::string_view(*value) : std::string_view())
               .step();
  s.done();
  return rc == SQLITE_DONE ? Status::Ok() : db.problem("keep the cloud base of \"" + std::string(key) + "\"");
}

Status Outbox::rebase(std::string_view key, const std::optional<std::string>& value) {
  return store_->writeWith([&](Database& db) { return putBase(db, key, value, false); });
}

Result<std::optional<std::string>> Outbox::copyOf(std::string_view key) {
  std::optional<std::string> value;
  Status read = readKeyRow(*store_, getCopy_, identity_, key, "local copy",
                           [&](Statement& s) { value = s.columnBytes(0); });
  if (!read.ok()) return read;
  return value;
}

Status Outbox::remember(std::string_view key, const std::optional<std::string>& value) {
  return store_->writeWith([&](Database& db) {
    Statement& s = value ? rememberCopy_.reset().text(identity_).text(key).blob(*value)
                         : forgetCopy_.reset().text(identity_).text(key);
    int rc = s.step();
    s.done();
    return rc == SQLITE_DONE ? putBase(db, key, value, true)
                             : db.problem("keep the local copy of \"" + std::string(key) + "\"");
  });
}

}  // namespace quillbox
