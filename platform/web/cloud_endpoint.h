#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/sync/cloud_transport.h"
#include "platform/web/device_tokens.h"
#include "platform/web/http_server.h"

namespace quillbox::web {

struct CloudEndpointOptions {
  // Requests one device token may make: a burst of this many, then requestsPerSecond.
  double requestsPerSecond = 20;
  double requestBurst = 200;
  // Requests from one client address that carry a token that is no device's: a burst of this
  // many, then one per failuresEvery.
  double failureBurst = 20;
  std::chrono::milliseconds failuresEvery{2000};
  // The largest write a device may send: as large as a list a folder or Redis store takes.
  std::size_t maxBodyBytes = std::size_t{64} << 20;
  // The time the limits are measured against (a fake clock in tests).
  std::function<HttpClock::time_point()> clock;
};

// The cloud store of `quillbox serve` for the person's devices: the wire is cloudwire's
// (platform/sync/cloud_wire.h). Values go to and come from the server's own backing directly, never
// through an outbox: a 204 means the backing holds the value, and a backing that cannot be reached
// or written answers 503. Every request needs a device token, checked on the head: every refusal
// (a missing token, a token sent in clear from another machine, a key that is not a cloud key, too
// many requests, a token that is no device's) comes before the body is read. Safe to call from
// several threads. It keeps the names of the latest conditional writes it made to each key, in
// memory (and passes them to its backing, which may keep its own: Redis does), so that a named
// write sent again after its answer was lost is answered as made, never made twice.
class CloudEndpoint {
 public:
  CloudEndpoint(std::unique_ptr<CloudTransport> backing, std::shared_ptr<DeviceTokens> devices,
                CloudEndpointOptions options = {});

  // True for the paths the endpoint answers (all of /cloud/v1/...).
  static bool serves(std::string_view path);

  // Looks at a request's head: a refusal, or a device's request whose body (up to maxBodyBytes) may
  // be read. Reads the list of devices, so it waits as long as its backing does.
  Screening screen(const HttpRequest& request);
  // Answers a screened request.
  HttpResponse handle(const HttpRequest& request);

 private:
  struct Bucket {
    double tokens = 0;
    HttpClock::time_point filled{};
  };
  HttpClock::time_point now() const;
  std::optional<HttpResponse> refusalOf(const HttpRequest& request);
  bool take(std::map<std::string, Bucket, std::less<>>& buckets, const std::string& key, double rate,
            double burst);
  bool failedTooOften(const std::string& peer);
  HttpResponse read(std::string_view key);
  HttpResponse write(std::string_view key, const HttpRequest& request);
  HttpResponse writeGroup(const HttpRequest& request);
  // Whether every one of writes is named and among the latest names kept here. Under backingMutex_.
  bool madeHere(std::span<const ConditionalWrite> writes) const;
  // Whether every one of writes is named and in the record the backing keeps of the writes it made,
  // asked once madeHere() said no; a failure when the backing cannot say. Under backingMutex_.
  Result<bool> madeBefore(std::span<const ConditionalWrite> writes);
  // Keeps the names of writes just made. Under backingMutex_.
  void keepNames(std::span<const ConditionalWrite> writes);

  std::mutex backingMutex_;
  std::unique_ptr<CloudTransport> backing_;  // guarded by backingMutex_
  // The names of the latest named writes made here, newest first, by key; guarded by backingMutex_.
  std::map<std::string, std::deque<std::string>, std::less<>> names_;
  std::shared_ptr<DeviceTokens> devices_;
  CloudEndpointOptions options_;
  std::mutex limitMutex_;
  std::map<std::string, Bucket, std::less<>> requests_;  // by token; guarded by limitMutex_
  std::map<std::string, Bucket, std::less<>> failures_;  // by client address; guarded by limitMutex_
};

}  // namespace quillbox::web
