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
#include "platform/sync/cloud_sender.h"
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
// pending writes go all at once, and when that fails, each recorded group on its own. Once
// sendInBackground() is called, a CloudSender delivers them instead, off the recording thread.
// Whoever sends holds the home's send lock: while another sends, a read or a write leaves the
// pending writes to it and answers from the local copy. Problems are never thrown: health() names
// them. Calls are serialised: one object may be used from several threads: they are serialised with
// every call on the home's database, and the transport's calls with each other.
class OutboxCloudStore : public CloudStore {
 public:
  // The store over transport, its outbox in <home>/settings.sqlite3 (see Outbox::open for
  // legacyRedisNamespace), the home made when missing. Does not reach the backing. Fails, naming the path and
  // the reason, when the outbox cannot be opened.
  static Result<std::unique_ptr<OutboxCloudStore>> open(std::unique_ptr<CloudTransport> transport,
                                                        const std::filesystem::path& home,
                                                        std::string_view legacyRedisNamespace = {});

  ~OutboxCloudStore() override;

  std::optional<std::string> stringForKey(std::string_view key) override;
  Status setString(std::string_view value, std::string_view key) override;
  std::string describe() const override;
  Result<LoadCopy> loadCopy(std::string_view key) override;
  Status rebase(std::string_view key, const std::optional<std::string>& value) override;
  // Ok; else the problem met by the last call that tried the backing or the outbox; else, while
  // writes wait, the reason the last of them could not be sent.
  Status health() const override;
  // Sends every pending write at once, oldest first, unless another process or thread holds the
  // home (it will send them). A write the backing refuses stays pending; the others go. With a
  // sender running, only wakes it.
  void flushPending(int timeoutMs) override;
  std::vector<std::string> pendingKeys() const override;
  OutboxCloudStore* outbox() override { return this; }
  // Hands what was recorded to the sender when one runs (at once, without waiting on the backing);
  // else sends it as described above.
  Status sendRecorded() override;
  bool recordsLocally() const override { return true; }
  Status withdraw(std::string_view key) override;

  // Asks the backing now (back-off or not): true when it answers and accepts the login, and then
  // the back-off ends. When false, health() says why.
  bool reachable();

  CloudTransport& transport() { return *transport_; }

  // From now on a CloudSender delivers the pending writes: woken at once for what waits, and
  // whenever writes are recorded or flushPending is called.
  void sendInBackground();
  // Waits, at most bound, for the sender to deliver what waits, then ends it (joined); what it did
  // not deliver stays in the outbox. Nothing to do without a sender.
  void stopSending(std::chrono::milliseconds bound);

  // What a load of key finds when the backing answered got: as loadCopy, without asking it.
  Result<LoadCopy> loadCopyOf(std::string_view key, std::optional<std::string> got);

 protected:
  Status setStrings(std::vector<CloudWrite> writes) override;

 private:
  friend class CloudSender;
  OutboxCloudStore(std::unique_ptr<CloudTransport> transport, std::unique_ptr<Outbox> outbox,
                   std::shared_ptr<HomeLock> homeLock, std::shared_ptr<HomeLock> sendLock);
  // One pending write on its way, its bytes held by the caller.
  struct Sending {
    std::int64_t id = 0;
    std::string_view key;
    std::string_view value;
    std::int64_t batch = 0;
    std::string_view name = {};  // the write's own, sent every time it goes
    bool replaced = false;       // the write its key's newest replaced, sent again first
  };
  // Sends writes as one conditional group, each on its base; no call on the outbox.
  static Status sendOnBases(CloudTransport& transport, std::span<const Sending> writes,
                            std::span<const syncengine::Base> bases);
  bool backingOff() const;
  std::optional<std::string> localAnswer(std::string_view key);
  // A load's answer from this device's own copy of key, the backing not asked.
  Result<LoadCopy> ownCopy(std::string_view key);
  Result<std::vector<CloudWriteView>> needingSends(std::span<const CloudWriteView> writes);
  Status write(std::span<const CloudWriteView> given);
  // Sends the pending writes here; false when another sender (the background one, or another
  // process) holds the send lock and has them on their way.
  bool sendPending();
  Status sendAll(std::span<const std::int64_t> mine);
  std::vector<Status> deliver(std::span<const Sending> writes);
  // After a group of several failed as a whole: each goes on its own. The first failure.
  Status sendGroupsApart(std::span<const Sending> writes, std::vector<Status>& results);
  Status sendIf(std::span<const Sending> writes);
  void note(const Status& status);

  std::unique_ptr<CloudTransport> transport_;
  std::unique_ptr<Outbox> outbox_;
  std::shared_ptr<HomeLock> homeLock_;
  std::shared_ptr<HomeLock> sendLock_;                  // <home>/send-lock: one sender per home
  std::unique_ptr<CloudSender> sender_;                 // when sending in the background
  std::chrono::steady_clock::time_point quietUntil_{};  // no call to the backing before this
  mutable Status problem_ = Status::Ok();               // the last call's
  Status waitReason_ = Status::Ok();                    // why the pending writes wait
  bool waiting_ = false;                                // whether writes were pending after the last send
  std::vector<std::int64_t> recorded_;  // recorded inside a local transaction, for sendRecorded
};

}  // namespace quillbox
