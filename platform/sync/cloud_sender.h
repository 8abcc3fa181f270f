#pragma once

// The sending side of an outbox store, apart from the thread that changes the lists: the transport
// shared by the sender and the loads, and the sender itself, which delivers the pending writes on a
// thread of its own (one sender per home: it holds the home's <home>/send-lock while it sends).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/status.h"
#include "platform/sync/cloud_transport.h"
#include "platform/sync/sync_engine.h"

namespace quillbox {

class OutboxCloudStore;

// A transport used by several threads: each call waits for the one under way. What a transport
// promises otherwise holds.
class SerialTransport : public CloudTransport {
 public:
  explicit SerialTransport(std::unique_ptr<CloudTransport> inner) : inner_(std::move(inner)) {}
  Result<std::optional<std::string>> get(std::string_view key) override;
  Status set(std::string_view key, std::string_view value) override;
  std::vector<Status> setMany(std::span<const CloudWriteView> writes) override;
  Status setIf(std::span<const ConditionalWrite> writes) override;
  Result<bool> madeEarlier(std::span<const ConditionalWrite> writes) override;
  Status checkKey(std::string_view key) const override { return inner_->checkKey(key); }
  bool sends() const override { return inner_->sends(); }
  Status ping() override;
  std::string describe() const override { return inner_->describe(); }
  std::string identity() const override { return inner_->identity(); }
  Trouble classify(const Status& failure) const override { return inner_->classify(failure); }
  std::chrono::milliseconds backoff() const override { return inner_->backoff(); }

 private:
  std::unique_ptr<CloudTransport> inner_;
  std::mutex mutex_;
};

// Delivers an outbox store's pending writes on a thread of its own, woken when writes are recorded:
// the thread that records them never waits on the backing. A pass sends every pending write (one
// per key: the newest) conditionally on its base, with neither the home's lock nor the store held
// while it waits for the answer; a newer write of a key recorded meanwhile waits for the next pass
// and is sent on what the answer taught (the delivered value, or the merge). When another device's
// newer copy held a write back, the pass fetches it and merges this device's edits onto it as one
// local change under the home's lock (the screens catch up at their next event or refresh), then
// sends the merge, a few rounds at most. A write replaced while on its way goes again first; made, the
// newest goes next, on its value. A pass does nothing while another sender of the home
// (another process) holds its send lock: that one delivers them. The store outlives the sender.
class CloudSender {
 public:
  explicit CloudSender(OutboxCloudStore& store);
  // stop()
  ~CloudSender();
  CloudSender(const CloudSender&) = delete;
  CloudSender& operator=(const CloudSender&) = delete;

  // Asks for a pass; returns at once.
  void wake();
  // Waits, at most bound, for a pass begun after this call to end: true when it did.
  bool drain(std::chrono::milliseconds bound);
  // Ends the thread once the pass under way has ended, and joins it. What was not delivered stays
  // in the outbox.
  void stop();

 private:
  // A pending write, with the base it goes on.
  struct Planned {
    std::int64_t id = 0;
    std::string key;
    std::string value;
    std::int64_t batch = 0;
    std::string name;
    syncengine::Base base;
    bool replaced = false;
  };
  // What a pass learnt from the answers.
  struct Learnt {
    std::vector<std::string> moved;  // the keys another device's newer copy held back
    bool replacedMade = false;       // a replaced write was made: the newest of its key goes next
  };
  void run();
  void pass();
  std::vector<Planned> planned();
  // Sends plan and records the answers.
  Learnt send(const std::vector<Planned>& plan);
  // Merges this device's edits of moved onto the backing's newer copies: false when it could not.
  bool mergeOnto(const std::vector<std::string>& moved);

  OutboxCloudStore& store_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t asked_ = 0;  // passes asked for; guarded by mutex_
  std::uint64_t ended_ = 0;  // the asked_ count the last ended pass answered; guarded by mutex_
  bool stopping_ = false;    // guarded by mutex_
  std::thread thread_;
};

}  // namespace quillbox
