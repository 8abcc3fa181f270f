#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "platform/store/settings_store.h"
#include "platform/store/sqlite_db.h"
#include "platform/sync/cloud_store.h"
#include "platform/sync/sync_engine.h"

namespace quillbox {

// The durable outbox of one cloud store, kept in the device's <home>/settings.sqlite3 beside the
// settings, on the settings store's own connection (tables cloud_copy, cloud_pending and cloud_base).
// Each call is one transaction, or, when this thread has a settings WriteGroup open, part of the
// group's: a change's strings, history, pending writes and bases are then stored together or not at
// all. Per store identity and key, the local copy (the last value read from the backing or accepted
// for it), the write not yet delivered, at most one per key (the newest, and beside it the write it
// replaced while that one was on its way with no answer), and the base: the backing's value that the
// device's list was last based on (taken at a load, or delivered), which a write expects to find there
// still. What it records
// survives a kill of the process at any instant and a power cut; whichever process opens the home next finds
// it. It knows nothing of how its store reaches the backing.
class Outbox {
 public:
  struct Pending {
    std::int64_t id = 0;  // new for every write: tells a write from any earlier or later one of its key
    std::string key;
    std::string value;
    std::int64_t batch = 0;  // the same for the writes recorded together
    // 128 random bits as hex, given when the write is recorded and sent with it every time, so a
    // backing that keeps names can tell that it made this very write; empty for a write recorded
    // before writes were named (sent without one) or when no random bits could be had.
    std::string name;
    // In nextSends(): this is not the key's newest write but the one it replaced, which was sent with
    // no answer yet (a kill, a lost answer): the backing may hold it. It goes again, under its own name
    // and batch, before the newest; whether it was made decides what the newest builds on.
    bool replaced = false;
  };

  // A key's base: none recorded, or the backing's value (nothing: the key held nothing).
  using Base = syncengine::Base;

  // Opens the outbox of the store named identity in <home>/settings.sqlite3, creating what is
  // missing. The local copies and pending writes that an earlier version kept for a Redis
  // namespace (tables redis_copy and redis_pending) become this store's when legacyRedisNamespace
  // names that namespace. Fails, naming the path and the reason.
  static Result<std::unique_ptr<Outbox>> open(const std::filesystem::path& home, std::string identity,
                                              std::string_view legacyRedisNamespace = {});

  // Records each write as its key's copy and as its pending write, replacing an older pending
  // write of the key, all in one transaction: all are kept or none. Each pending write gets a new
  // name. The new pending writes' ids and names.
  struct Recorded {
    std::int64_t id = 0;
    std::string name;
    bool behindReplaced = false;  // the write it replaced waits to be sent again first
  };
  Result<std::vector<Recorded>> record(std::span<const CloudWriteView> writes);

  // Whether this thread has a settings WriteGroup open: what is recorded now is stored at its commit,
  // and must not be sent before.
  bool inGroup() const { return store_->inGroup(); }
  // Serialises a caller's several calls with every other call on the home's database.
  std::unique_lock<std::recursive_mutex> hold() const { return store_->hold(); }

  // The settings store it keeps its tables in.
  const std::shared_ptr<SettingsStore>& settings() const { return store_; }

  // The pending writes, oldest first.
  Result<std::vector<Pending>> pending();
  // The writes to send next, in the order they were recorded: each key's newest, or the write it
  // replaced while that one's answer is unknown (`replaced`).
  Result<std::vector<Pending>> nextSends();
  // A write sent: its id, key and name, and whether it is a replaced one. A write replaced while on
  // its way is known by its key and name: its answer resolves the copy kept beside the newest.
  struct Sent {
    std::int64_t id = 0;
    std::string_view key;
    std::string_view name;
    bool replaced = false;
  };
  // Marks these writes as on their way, before they go: replaced by a newer edit before an answer
  // says whether the backing made them, they are kept to be sent again first.
  Status sending(std::span<const Sent> writes);
  // Whether a write of key is pending.
  Result<bool> isPending(std::string_view key);
  // Whether a write of key went and its answer is unknown (a kill, a lost answer, a newer write
  // replacing it meanwhile): the backing may hold it.
  Result<bool> isUnanswered(std::string_view key);
  // The keys with a pending write, oldest first.
  Result<std::vector<std::string>> pendingKeys();

  // A write the backing now holds.
  struct Delivered {
    std::int64_t id = 0;
    std::string_view key;
    std::string_view value;
    // When given, the base it was sent on: the value becomes the base only while the key's base is
    // still that one (a load that merged onto a newer copy meanwhile moved it past the delivery).
    const Base* sentOn = nullptr;
    std::string_view name = {};
    bool replaced = false;  // the write a newer one replaced: only it is forgotten
  };
  // Forgets these pending writes once the backing holds them, and makes each value its key's base,
  // in one transaction; a newer write of the same key stays.
  Status delivered(std::span<const Delivered> writes);
  // Writes the backing answered it did not make (their key moved, or it refused them): a replaced
  // write is forgotten, a key's newest counts as not on its way.
  Status notMade(std::span<const Sent> writes);

  // Forgets the pending write of key and its local copy (the next read asks the backing again).
  Status withdraw(std::string_view key);

  // The base of key.
  Result<Base> baseOf(std::string_view key);
  // Makes value the base of key: the device's list now builds on it.
  Status rebase(std::string_view key, const std::optional<std::string>& value);

  // The local copy of key: nothing when none is kept.
  Result<std::optional<std::string>> copyOf(std::string_view key);
  // Keeps what the backing holds under key (nothing included) as its copy and its base, unless a
  // write of the key is pending, which is newer than anything read.
  Status remember(std::string_view key, const std::optional<std::string>& value);

 private:
  Outbox(std::shared_ptr<SettingsStore> store, std::string identity)
      : store_(std::move(store)), identity_(std::move(identity)) {}
  Status prepare(Database& db, std::string_view legacyRedisNamespace);
  Status upgradePending(Database& db);
  Status prepareStatements(Database& db);
  Status migrate(Database& db, std::string_view legacyRedisNamespace);

  Status putBase(Database& db, std::string_view key, const std::optional<std::string>& value,
                 bool onlyUnlessPending);

  std::shared_ptr<SettingsStore> store_;  // outlives the statements below
  std::string identity_;
  // The pending writes, oldest first; with replacedFirst, a kept replaced write in its key's place.
  Result<std::vector<Pending>> readPending(bool replacedFirst);
  Status forgetReplaced(Database& db, const Sent& write);

  Statement putCopy_, putPending_, recordedRow_, isPending_, listPending_, listPendingKeys_, deletePending_,
      getCopy_, rememberCopy_, forgetCopy_, withdrawPending_, withdrawCopy_, nextBatch_, getBase_, putBase_,
      putBaseUnlessPending_, isUnanswered_, markSending_, markNotSending_, forgetReplaced_;
};

}  // namespace quillbox
