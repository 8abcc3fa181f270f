#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "platform/store/home_lock.h"
#include "platform/sync/cloud_store.h"
#include "platform/sync/cloud_transport.h"
#include "platform/sync/outbox.h"

namespace quillbox {

// A cloud store that keeps a durable outbox in the device's database in front of its transport,
// so the device keeps working while the backing is away or refuses a write:
// - a write is recorded (as the key's local copy and as pending) before it is sent, and stays
//   pending until the backing holds it; whichever process opens the home next sends it;
// - a read first sends the pending writes, then asks the backing and remembers its answer; while a
//   write of the key still waits, or the backing cannot answer, the local copy answers (this
//   device's last accepted write, else the last value read), so a read never takes an older copy
//   back over this device's own write;
// - after an unreachable backing, reads and writes leave it alone for the transport's back-off
//   and use the local copy at once; flushPending and reachable always try;
// - every write is conditional: it replaces the backing's value only while that still is the
//   key's base (the value the device's list was last based on: read by a load, merged onto, or
//   delivered). When another device wrote meanwhile, the write stays pending and the store
//   answers conflict; loadCopy then hands a load the backing's value and the base to merge onto.
//   A key whose base was never recorded is written only where the backing holds nothing or this
//   very value; otherwise the store answers conflict, and a load merges onto what both hold.
// The writes of a WriteGroup are recorded in one transaction and sent in one conditional group; writes
// made while this thread has a settings WriteGroup open join its transaction and wait for
// sendRecorded(), after it, which merges a list the backing held back onto its newer copy
// (loadLists) and sends the merge, a few times at most;
// pending writes go all at once, and when that fails, each recorded group on its own. Problems are
// never thrown: health() names them. Calls are serialised: one object may be used from several
// threads: they are serialised with every call on the home's database.
class OutboxCloudStore : public CloudStore {
 public:
  // The store over transport, its outbox in <home>/settings.sqlite3 (see Outbox::open for
  // legacyRedisNamespace), the home made when missing. Does not reach the backing. Fails, naming the path and
  // the reason, when the outbox cannot be opened.
  static Result<std::unique_ptr<OutboxCloudStore>> open(std::unique_ptr<CloudTransport> transport,
                                                        const std::filesystem::path& home,
                                                        std::string_view legacyRedisNamespace = {});

  std::optional<std::string> stringForKey(std::string_view key) override;
  Status setString(std::string_view value, std::string_view key) override;
  std::string describe() const override;
  Result<LoadCopy> loadCopy(std::string_view key) override;
  Status rebase(std::string_view key, const std::optional<std::string>& value) override;
  // Ok; else the problem met by the last call that tried the backing or the outbox; else, while
  // writes wait, the reason the last of them could not be sent.
  Status health() const override;
  // Sends every pending write at once, oldest first, unless another process or thread holds the
  // home (it will send them). A write the backing refuses stays pending; the others go.
  void flushPending(int timeoutMs) override;
  std::vector<std::string> pendingKeys() const override;
  Status sendRecorded() override;
  bool recordsLocally() const override { return true; }
  Status withdraw(std::string_view key) override;

  // Asks the backing now (back-off or not): true when it answers and accepts the login, and then
  // the back-off ends. When false, health() says why.
  bool reachable();

  CloudTransport& transport() { return *transport_; }

 protected:
  Status setStrings(std::vector<CloudWrite> writes) override;

 private:
  OutboxCloudStore(std::unique_ptr<CloudTransport> transport, std::unique_ptr<Outbox> outbox,
                   std::shared_ptr<HomeLock> homeLock);
  struct Sending;
  bool backingOff() const;
  std::optional<std::string> localAnswer(std::string_view key);
  Result<std::vector<CloudWriteView>> needingSends(std::span<const CloudWriteView> writes);
  Status write(std::span<const CloudWriteView> given);
  void sendPending();
  Status sendAll(std::span<const std::int64_t> mine);
  std::vector<Status> deliver(std::span<const Sending> writes);
  Status sendIf(std::span<const Sending> writes);
  void note(const Status& status);

  std::unique_ptr<CloudTransport> transport_;
  std::unique_ptr<Outbox> outbox_;
  std::shared_ptr<HomeLock> homeLock_;
  std::chrono::steady_clock::time_point quietUntil_{};  // no call to the backing before this
  mutable Status problem_ = Status::Ok();               // the last call's
  Status waitReason_ = Status::Ok();                    // why the pending writes wait
  bool waiting_ = false;                                // whether writes were pending after the last send
  std::vector<std::int64_t> recorded_;  // recorded inside a local transaction, for sendRecorded
};

// The OutboxCloudStore behind a CloudStore, or nullptr for any other store.
OutboxCloudStore* asOutboxCloudStore(CloudStore& store);

}  // namespace quillbox
