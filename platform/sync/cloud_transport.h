#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "platform/sync/cloud_store.h"

namespace quillbox {

// One write of a conditional group: made only while the backing still holds base under key
// (nothing: only while the key holds nothing). Its name, when it has one, is given once, when the
// device records the write, and goes with it through every resend; no other write bears it.
struct ConditionalWrite {
  std::string_view key;
  std::string_view value;
  std::optional<std::string_view> base;
  std::string_view name = {};  // empty: a write without a name
};

// How a cloud store reaches its backing (a folder, a Redis server, an HTTPS endpoint): the few
// calls that the one sync policy (OutboxCloudStore) is written over. A transport keeps nothing of
// its own between calls but a connection; it never throws, and says how each call went. One
// object is used by one thread at a time.
class CloudTransport {
 public:
  // What a failed call means to the policy.
  enum class Trouble {
    unreachable,  // the backing cannot be reached now: leave it alone for a while
    login,        // the backing refuses this device's login: stop sending until it changes
    refused,      // the backing refused this one call: the write waits, the next is tried
  };

  virtual ~CloudTransport() = default;

  // What the backing holds under key: a value (the empty string included), nothing, or a failure
  // when it cannot say.
  virtual Result<std::optional<std::string>> get(std::string_view key) = 0;

  // Stores value under key, durably as the backing counts it.
  virtual Status set(std::string_view key, std::string_view value) = 0;

  // Stores each write, one Status per write in the same order. A backing that can take several
  // writes at once takes all or none (a Redis transaction); by default they go one after another,
  // and a write that failed leaves the others as they went.
  virtual std::vector<Status> setMany(std::span<const CloudWriteView> writes);

  // Makes every write of the group if, for each, the backing still holds its base (or already
  // holds the write's own value: a write that arrived before its answer was lost, sent again; or
  // holds nothing: no device removes a key, so a key that holds nothing was lost by the backing,
  // and filling it overwrites nothing); otherwise makes none and fails with Status::Conflict
  // naming a key that moved. All or none, and atomic
  // against other writers where the backing allows it (a Redis script; the folder under its lock
  // file; one request to an HTTPS endpoint). Other failures as set(). By default each key is read
  // and compared, then the group goes through setMany: not atomic against other writers.
  // A backing that keeps the names of the writes it made (Redis, the HTTPS endpoint) records them
  // in the same atomic step as the writes, and answers ok and writes nothing, whatever the keys hold
  // now, if every write of the group is named and among the names it keeps for its key: the group was
  // made before and its answer lost. Made twice, it would be doubled or bring a later delete back.
  virtual Status setIf(std::span<const ConditionalWrite> writes);

  // Whether the backing keeps a record that it made every one of these named writes (the latest
  // ones per key). False when one is unnamed or not recorded, and by default (a folder keeps no
  // names); a failure when the backing cannot say.
  virtual Result<bool> madeEarlier(std::span<const ConditionalWrite> writes) {
    (void)writes;
    return false;
  }

  // Whether setIf sends from this process (false where another party sends the outbox's writes, as
  // the phone's worker does, and setIf only answers that they wait).
  virtual bool sends() const { return true; }

  // Whether key can name a value in this backing at all: a key that cannot is refused at once,
  // never kept to be sent. Any key by default.
  virtual Status checkKey(std::string_view key) const {
    (void)key;
    return Status::Ok();
  }

  // Asks the backing whether it answers and accepts the login now.
  virtual Status ping() { return Status::Ok(); }

  // What the backing is, for people (passwords masked).
  virtual std::string describe() const = 0;

  // Names the backing in the device's outbox: stores on the same backing share their local copy
  // and their pending writes. Never holds a password.
  virtual std::string identity() const = 0;

  // How a failure is classed. By default by its code: unavailable is unreachable, unauthenticated
  // a refused login, anything else a refusal of that one call.
  virtual Trouble classify(const Status& failure) const;

  // How long an unreachable backing is left alone before it is tried again by reads and writes.
  virtual std::chrono::milliseconds backoff() const { return std::chrono::milliseconds(1000); }
};

// Whether held (what the backing holds under the write's key) lets the conditional write go: it is
// the write's base, or already the write's own value, or nothing.
bool holdsBaseOrValue(const std::optional<std::string>& held, const ConditionalWrite& write);

}  // namespace quillbox
