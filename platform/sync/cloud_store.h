#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace quillbox {

class OutboxCloudStore;

// One write of a cloud key.
struct CloudWrite {
  std::string key;
  std::string value;
};

// One write of a cloud key, its bytes held by the caller.
struct CloudWriteView {
  std::string_view key;
  std::string_view value;
};

// The cloud key-value store that mirrors every list to the person's other devices. Only two
// operations reach its contents: nothing flushes them from outside, observes them or removes a
// key. Calls never throw. A store that cannot reach its backing answers reads from what it last
// knew and keeps writes to send later, and says why through health().
class CloudStore {
 public:
  virtual ~CloudStore() = default;

  // The string last accepted under key, the empty string included; nothing when the key holds
  // nothing (or the store cannot answer).
  virtual std::optional<std::string> stringForKey(std::string_view key) = 0;

  // Keeps value under key; later reads here, and on other devices sharing the store, return it.
  // Ok once the write is delivered or durably kept to be delivered later (health() then says
  // why it waits); a failure when it is neither: the write is lost and the caller must say so.
  // A store that writes only over the value the device's list was based on fails with conflict
  // when another device wrote meanwhile: the write is kept, and a load merges it onto the new
  // value. Within a WriteGroup, stores that take part keep the write with the group's others and
  // answer ok; the group's close() says how they went.
  virtual Status setString(std::string_view value, std::string_view key) = 0;

  // What the store is, for people: a folder path or a server address (passwords masked).
  virtual std::string describe() const = 0;

  // What a load of key finds: the value it takes, or, while this device has an unsent write of
  // the key, the backing's own value to merge that write onto.
  struct LoadCopy {
    std::optional<std::string> value;  // nothing: the key holds nothing
    // A write of the key waits to be delivered, the backing answered with value, and the write's
    // base is known: the load merges the local list onto value instead of taking it.
    bool unsent = false;
    std::optional<std::string> base;  // when unsent: the backing's value the waiting write builds on
    // When unsent: false when the device never learnt that value (a first edit, made while the
    // cloud was away): the load merges onto what both sides hold in common.
    bool baseKnown = true;
    // The backing was not read (it could not be, or is left alone for a while): value is this
    // device's own copy of the key.
    bool ownCopy = false;
  };
  // By default stringForKey's answer, with nothing unsent. A store that cannot tell whether a write
  // waits (its outbox cannot be read) fails: a load then takes nothing and merges nothing.
  virtual Result<LoadCopy> loadCopy(std::string_view key) { return LoadCopy{stringForKey(key), false, {}}; }

  // The device's list under key now builds on value (a load merged its unsent edits onto it): the
  // next write of key expects the backing to hold value. Nothing to do for stores that write
  // unconditionally.
  virtual Status rebase(std::string_view key, const std::optional<std::string>& value) {
    (void)key;
    (void)value;
    return Status::Ok();
  }

  // Forgets the write of key that waits to be delivered, as though it had never been made: a raw
  // write the backing held back is withdrawn rather than delivered later. Nothing to do for stores
  // that never defer.
  virtual Status withdraw(std::string_view key) {
    (void)key;
    return Status::Ok();
  }

  // Whether the store records its writes in the device's database (an outbox) before sending them:
  // a WriteGroup then hands them over inside the local transaction, and the others after it.
  virtual bool recordsLocally() const { return false; }

  // Sends the writes setString or a WriteGroup recorded while this thread's local transaction was open
  // (they could not go before it was stored), once it has been committed or undone: ok when they were
  // delivered or kept to deliver later, conflict when another device's newer value held one back (a
  // load then merges it). Stores that send at once have nothing to do.
  virtual Status sendRecorded() { return Status::Ok(); }

  // Ok, or the problem that keeps the store from its backing or keeps writes waiting (a folder
  // that cannot be written, a refused login).
  virtual Status health() const { return Status::Ok(); }

  // Gives deferred writes one more chance to reach the backing, within about timeoutMs.
  // Stores that never defer do nothing.
  virtual void flushPending(int timeoutMs) { (void)timeoutMs; }

  // The keys whose last write waits to be delivered, oldest first; none for stores that never
  // defer (or when they cannot tell: health() then says why).
  virtual std::vector<std::string> pendingKeys() const { return {}; }

  // The store as the outbox it is, or nullptr for any other store.
  virtual OutboxCloudStore* outbox() { return nullptr; }

  // The cloud writes made on one thread while it is open, kept together: each store that takes
  // part records its share in one transaction when the group closes (so a kill leaves all of them
  // or none waiting) and delivers it at once where its backing can (a Redis transaction). A window
  // opens one around each event, so an operation's writes and those of every Change handler it
  // sets off travel together. A group made while another is open on the thread joins it: only the
  // outermost closes. Reads within the group see its writes.
  class WriteGroup {
   public:
    WriteGroup();
    // Closes the group and sends it if close() was not called; a failure then shows only in the
    // stores' health.
    ~WriteGroup();
    WriteGroup(const WriteGroup&) = delete;
    WriteGroup& operator=(const WriteGroup&) = delete;

    // Hands each store that records locally its writes, in the order they were made (one per key:
    // the last); the others' wait for send(). The first failure; ok for a group that joined another.
    Status close();

    // After close(), once the local transaction around the group is committed: the other stores'
    // writes, then each store's sendRecorded(). The first failure (conflict when another device's newer
    // value held a write back). A group whose local transaction failed is dropped unsent.
    Status send();

    // For the stores that take part: the outermost group open on this thread, or nullptr.
    static WriteGroup* current();
    // Keeps a write of store's for the close.
    void defer(CloudStore& store, std::string_view key, std::string_view value);
    // For a store that recorded a write of key at once (inside the local transaction): an older write
    // of key deferred here is dropped, and send() sends what the store recorded.
    void recordedNow(CloudStore& store, std::string_view key);
    // The value store's write of key waits with in this group, or nullptr.
    const std::string* deferred(const CloudStore& store, std::string_view key) const;

   private:
    bool outer_ = false;
    bool closed_ = false;
    std::vector<std::pair<CloudStore*, std::vector<CloudWrite>>> writes_;
    std::vector<CloudStore*> closedStores_;  // the stores close() handed writes to
    std::vector<std::pair<CloudStore*, std::vector<CloudWrite>>> unsent_;  // for send()
  };

 protected:
  // A group's writes for this store, when it closes. By default, one setString after another.
  virtual Status setStrings(std::vector<CloudWrite> writes);
};

// A store held in memory, for tests and for a process that wants no mirror. It writes at once,
// never deferring. Safe to share between threads.
class MemoryCloudStore : public CloudStore {
 public:
  std::optional<std::string> stringForKey(std::string_view key) override;
  Status setString(std::string_view value, std::string_view key) override;
  std::string describe() const override { return "memory"; }

  // For tests: how many times setString was called.
  int writes() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string, std::less<>> values_;
  int writes_ = 0;
};

// makeCloudStore (platform/transports/cloud_store_spec.h) makes the cloud store an address names.

// Sets how the process-wide cloud store is made. Call it before the first sharedCloudStore():
// once the store is made, later calls change nothing. Without it, the store is a
// MemoryCloudStore (as it is when make gives nothing).
void configureSharedCloudStore(std::function<std::unique_ptr<CloudStore>()> make);

// The one cloud store of the process: made on first use, exactly once even when several
// threads ask at once, and kept until the process ends.
CloudStore& sharedCloudStore();

}  // namespace quillbox
