#include "platform/web/cloud_endpoint.h"

#include <arpa/inet.h>

#include <algorithm>
#include <vector>

#include "platform/sync/cloud_wire.h"
#include "platform/web/web_security.h"

namespace quillbox::web {

namespace {

constexpr std::size_t kMaxTracked = 4096;  // limits kept; past it the oldest are forgotten at once
constexpr std::size_t kNamesKept = 64;     // names of the latest writes made, kept per key
constexpr std::string_view kBearer = "Bearer ";

HttpResponse say(int status, const std::string& message) {
  return HttpResponse::text(status, message + "\n");
}

HttpResponse done(std::string etag = {}) {
  HttpResponse response;
  response.status = 204;
  if (!etag.empty()) response.headers.emplace_back("ETag", std::move(etag));
  return response;
}

HttpResponse unauthorized(const std::string& message) {
  HttpResponse response = say(401, message);
  response.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"quillbox\"");
  return response;
}

// A backing's failure as an answer: the device keeps its write and tries again later.
HttpResponse failed(const Status& status) {
  if (status.code() == Status::Code::conflict) return say(412, status.message());
  return say(503, "the server's cloud store cannot be reached or written now: " + status.message());
}

bool isLoopbackPeer(std::string_view peer) {
  constexpr std::string_view kMapped = "::ffff:";
  if (peer.size() > kMapped.size() && peer.substr(0, kMapped.size()) == kMapped)
    peer.remove_prefix(kMapped.size());
  return isLoopbackHost(peer);
}

std::string_view bearerOf(const HttpRequest& request) {
  std::string_view value = request.header("Authorization");
  if (value.size() <= kBearer.size() || value.substr(0, kBearer.size()) != kBearer) return {};
  return value.substr(kBearer.size());
}

// Whether value's ETag is one of a header's list ("*" names any value).
bool matchesAny(std::string_view header, const std::string& etag) {
  while (!header.empty()) {
    std::size_t comma = header.find(',');
    std::string_view item = header.substr(0, comma);
    header.remove_prefix(comma == std::string_view::npos ? header.size() : comma + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (item == "*" || item == etag) return true;
  }
  return false;
}

}  // namespace

CloudEndpoint::CloudEndpoint(std::unique_ptr<CloudTransport> backing, std::shared_ptr<DeviceTokens> devices,
                             CloudEndpointOptions options)
    : backing_(std::move(backing)), devices_(std::move(devices)), options_(std::move(options)) {}

bool CloudEndpoint::serves(std::string_view path) {
  return path == cloudwire::kPrefix.substr(0, cloudwire::kPrefix.size() - 1) ||
         path.substr(0, cloudwire::kPrefix.size()) == cloudwire::kPrefix;
}

HttpClock::time_point CloudEndpoint::now() const {
  return options_.clock ? options_.clock() : HttpClock::now();
}

bool CloudEndpoint::take(std::map<std::string, Bucket, std::less<>>& buckets, const std::string& key,
                         double rate, double burst) {
  HttpClock::time_point at = now();
  auto found = buckets.find(key);
  if (found == buckets.end()) {
    if (buckets.size() >= kMaxTracked) buckets.clear();
    found = buckets.emplace(key, Bucket{burst, at}).first;
  }
  Bucket& bucket = found->second;
  double seconds = std::chrono::duration<double>(at - bucket.filled).count();
  bucket.tokens = std::min(burst, bucket.tokens + std::max(0.0, seconds) * rate);
  bucket.filled = at;
  if (bucket.tokens < 1) return false;
  bucket.tokens -= 1;
  return true;
}

bool CloudEndpoint::failedTooOften(const std::string& peer) {
  auto found = failures_.find(peer);
  if (found == failures_.end()) return false;
  double rate = 1000.0 / static_cast<double>(std::max<long long>(1, options_.failuresEvery.count()));
  double seconds = std::chrono::duration<double>(now() - found->second.filled).count();
  return found->second.tokens + std::max(0.0, seconds) * rate < 1;
}

Screening CloudEndpoint::screen(const HttpRequest& request) {
  std::optional<HttpResponse> refusal = refusalOf(request);
  if (refusal) return Screening::refuse(std::move(*refusal));
  return Screening::as(Standing::device, options_.maxBodyBytes);
}

std::optional<HttpResponse> CloudEndpoint::refusalOf(const HttpRequest& request) {
  if (!request.secure && !isLoopbackPeer(request.peer)) {
    return say(403,
               "device tokens are taken only over HTTPS from other machines: start the server with "
               "--tls-cert FILE --tls-key FILE, or behind a reverse proxy that holds a certificate, with "
               "--trust-proxy");
  }
  std::string_view token = bearerOf(request);
  if (token.empty()) return unauthorized("this endpoint needs a device token (Authorization: Bearer TOKEN)");
  {
    std::lock_guard<std::mutex> guard(limitMutex_);
    if (failedTooOften(request.peer)) return say(429, "too many requests with a token that is no device's");
    if (!take(requests_, std::string(token), options_.requestsPerSecond, options_.requestBurst))
      return say(429, "too many requests from this device; slow down");
  }
  std::string_view key =
      std::string_view(request.path).substr(std::min(request.path.size(), cloudwire::kPrefix.size()));
  bool top = key.empty();
  if (!top && !cloudwire::isCloudKey(key)) return say(404, "not a cloud key");
  bool allowed = top ? request.method == "GET" || request.method == "POST"
                     : request.method == "GET" || request.method == "PUT";
  if (!allowed) {
    HttpResponse refused = say(405, "the method is not one this address takes");
    refused.headers.emplace_back("Allow", top ? "GET, POST" : "GET, PUT");
    return refused;
  }
  // The token is checked here, on the head: a made-up one never gets its body read.
  Result<std::optional<std::string>> device = devices_->check(token);
  if (!device.ok())
    return say(503, "the server cannot read its list of devices now: " + device.status().message());
  if (!device.value()) {
    std::lock_guard<std::mutex> guard(limitMutex_);
    double rate = 1000.0 / static_cast<double>(std::max<long long>(1, options_.failuresEvery.count()));
    (void)take(failures_, request.peer, rate, options_.failureBurst);
    return unauthorized("this token is no device's (unknown, or revoked)");
  }
  return std::nullopt;
}

HttpResponse CloudEndpoint::handle(const HttpRequest& request) {
  // The front screened the head; what a key and a method are is checked again here, at no cost.
  std::string_view key =
      std::string_view(request.path).substr(std::min(request.path.size(), cloudwire::kPrefix.size()));
  if (!key.empty() && !cloudwire::isCloudKey(key)) return say(404, "not a cloud key");
  if (key.empty()) {
    if (request.method == "POST") return writeGroup(request);
    std::lock_guard<std::mutex> guard(backingMutex_);
    Status answered = backing_->ping();
    return answered.ok() ? done() : failed(answered);
  }
  if (request.method == "GET") return read(key);
  if (request.method == "PUT") return write(key, request);
  return say(405, "the method is not one this address takes");
}

HttpResponse CloudEndpoint::read(std::string_view key) {
  Result<std::optional<std::string>> value = Status::Ok();
  {
    std::lock_guard<std::mutex> guard(backingMutex_);
    value = backing_->get(key);
  }
  if (!value.ok()) return failed(value.status());
  if (!value.value()) return say(404, "nothing under " + std::string(key));
  HttpResponse response = HttpResponse::text(200, std::move(*value.value()), "application/octet-stream");
  response.headers.emplace_back("ETag", cloudwire::etagOf(response.body));
  return response;
}

bool CloudEndpoint::madeHere(std::span<const ConditionalWrite> writes) const {
  return !writes.empty() && std::all_of(writes.begin(), writes.end(), [&](const ConditionalWrite& write) {
    auto kept = names_.find(write.key);
    return !write.name.empty() && kept != names_.end() &&
           std::find(kept->second.begin(), kept->second.end(), write.name) != kept->second.end();
  });
}

Result<bool> CloudEndpoint::madeBefore(std::span<const ConditionalWrite> writes) {
  auto named = [](const ConditionalWrite& write) { return !write.name.empty(); };
  if (writes.empty() || !std::all_of(writes.begin(), writes.end(), named)) return false;
  return backing_->madeEarlier(writes);
}

void CloudEndpoint::keepNames(std::span<const ConditionalWrite> writes) {
  for (const ConditionalWrite& write : writes) {
    if (write.name.empty()) continue;
    std::deque<std::string>& kept = names_[std::string(write.key)];
    kept.emplace_front(write.name);
    if (kept.size() > kNamesKept) kept.pop_back();
  }
}

HttpResponse CloudEndpoint::write(std::string_view key, const HttpRequest& request) {
  std::string_view ifMatch = request.header("If-Match");
  std::string_view ifNoneMatch = request.header("If-None-Match");
  std::string_view name = request.header(cloudwire::kNameHeader);
  if (!ifNoneMatch.empty() && ifNoneMatch != "*") return say(400, "If-None-Match takes only *");
  if (name.size() > cloudwire::kMaxNameSize || name.find(' ') != std::string_view::npos)
    return say(400, "a write's name is one word of at most " + std::to_string(cloudwire::kMaxNameSize) +
                        " characters");
  const std::string etag = cloudwire::etagOf(request.body);
  std::lock_guard<std::mutex> guard(backingMutex_);
  if (ifMatch.empty() && ifNoneMatch.empty()) {
    Status written = backing_->set(key, request.body);
    return written.ok() ? done(etag) : failed(written);
  }
  // Sent again after its answer was lost: made once is enough, whatever the key holds now (others
  // may have written over it, or put it back to the write's base).
  const ConditionalWrite again{key, request.body, std::nullopt, name};
  if (madeHere(std::span(&again, 1))) return done(etag);
  Result<std::optional<std::string>> held = backing_->get(key);
  if (!held.ok()) return failed(held.status());
  const std::optional<std::string>& now = held.value();
  const bool holds = (ifNoneMatch.empty() || !now) &&
                     (ifMatch.empty() || (now && matchesAny(ifMatch, cloudwire::etagOf(*now))));
  if (!holds) {
    Result<bool> made = madeBefore(std::span(&again, 1));
    if (!made.ok()) return failed(made.status());
    if (made.value()) return done(etag);
    return now && !ifNoneMatch.empty() ? say(412, "the key holds a value")
                                       : say(412, "the value of " + std::string(key) + " moved");
  }
  const ConditionalWrite conditional{key, request.body,
                                     now ? std::optional<std::string_view>(*now) : std::nullopt, name};
  Status written = backing_->setIf(std::span(&conditional, 1));
  if (written.ok()) keepNames(std::span(&conditional, 1));
  return written.ok() ? done(etag) : failed(written);
}

HttpResponse CloudEndpoint::writeGroup(const HttpRequest& request) {
  Result<std::vector<cloudwire::GroupWrite>> group = cloudwire::decodeGroup(request.body);
  if (!group.ok()) return say(400, group.status().message());
  bool conditional = false;
  for (const cloudwire::GroupWrite& write : group.value()) {
    if (!cloudwire::isCloudKey(write.key)) return say(404, "not a cloud key: " + std::string(write.key));
    conditional = conditional || write.condition != cloudwire::GroupWrite::Condition::none;
  }
  std::lock_guard<std::mutex> guard(backingMutex_);
  if (!conditional) {
    std::vector<CloudWriteView> writes;
    for (const cloudwire::GroupWrite& write : group.value()) writes.push_back({write.key, write.value});
    std::vector<Status> results = backing_->setMany(writes);
    results.resize(writes.size(), Status::Error("the server's cloud store lost a write's answer"));
    if (std::all_of(results.begin(), results.end(), [](const Status& s) { return s.ok(); })) return done();
    return HttpResponse::text(200, cloudwire::encodeResults(results));
  }
  // Made before, its answer lost: made once is enough, whatever the keys hold now.
  std::vector<ConditionalWrite> again;
  for (const cloudwire::GroupWrite& sent : group.value())
    again.push_back({sent.key, sent.value, std::nullopt, sent.name});
  if (madeHere(again)) return done();
  // All or none: each write is made only while its key still holds what was read here, which
  // must be what the device based it on.
  std::vector<std::optional<std::string>> bases;
  for (const cloudwire::GroupWrite& write : group.value()) {
    Result<std::optional<std::string>> held = backing_->get(write.key);
    if (!held.ok()) return failed(held.status());
    const std::optional<std::string>& now = held.value();
    using Condition = cloudwire::GroupWrite::Condition;
    bool holds = write.condition == Condition::none || (write.condition == Condition::absent && !now) ||
                 (write.condition == Condition::matches && now && cloudwire::etagOf(*now) == write.etag);
    if (!holds) {
      Result<bool> made = madeBefore(again);
      if (!made.ok()) return failed(made.status());
      return made.value() ? done() : say(412, "the value of " + std::string(write.key) + " moved");
    }
    bases.push_back(std::move(held.value()));
  }
  std::vector<ConditionalWrite> writes;
  for (std::size_t i = 0; i < group->size(); ++i) {
    const cloudwire::GroupWrite& write = group.value()[i];
    writes.push_back({write.key, write.value,
                      bases[i] ? std::optional<std::string_view>(*bases[i]) : std::nullopt, write.name});
  }
  Status written = backing_->setIf(writes);
  if (written.ok()) keepNames(writes);
  return written.ok() ? done() : failed(written);
}

}  // namespace quillbox::web
