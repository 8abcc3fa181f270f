// makeCloudStore: the one place that knows every kind of backing (the WebAssembly build has none of
// them, and leaves this file out).
#include "platform/transports/cloud_store_spec.h"

#include <arpa/inet.h>

#include <cctype>
#include <string>

#include "platform/sync/cloud_store.h"
#include "platform/sync/outbox_cloud_store.h"
#include "platform/transports/folder_transport.h"
#include "platform/transports/https_client.h"
#include "platform/transports/https_transport.h"
#include "platform/transports/redis_transport.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kFileScheme = "file://";
constexpr std::string_view kHttpScheme = "http://";

// The host of "http://HOST[:PORT][/...]", brackets kept off an IPv6 address.
std::string httpHost(std::string_view spec) {
  std::string_view rest = spec.substr(kHttpScheme.size());
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (rest.find('@') != std::string_view::npos) return "";  // no user information
  if (rest.starts_with('[')) {
    std::size_t close = rest.find(']');
    return close == std::string_view::npos ? "" : std::string(rest.substr(1, close - 1));
  }
  return std::string(rest.substr(0, rest.find(':')));
}

// "redis:" in "redis:x", none for a path: a scheme is a letter, then letters, digits, '+', '-'
// or '.', then ':'.
std::string_view schemeOf(std::string_view spec) {
  std::size_t colon = spec.find(':');
  if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(spec[0])))
    return {};
  for (std::size_t i = 1; i < colon; ++i) {
    auto c = static_cast<unsigned char>(spec[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
  }
  return spec.substr(0, colon + 1);
}

// The Redis server a redis:// or unix:// address names, the password from options when it gives none.
Result<std::unique_ptr<RedisTransport>> openRedis(const CloudOptions& options) {
  Result<RedisAddress> parsed = parseRedisAddress(options.spec);
  if (!parsed.ok()) return parsed.status();
  if (!parsed->password && !options.redisPassword.empty()) parsed->password = options.redisPassword;
  return std::make_unique<RedisTransport>(std::move(parsed.value()));
}

bool isRedis(std::string_view spec) { return spec.starts_with("redis://") || spec.starts_with("unix://"); }

}  // namespace

Status checkCloudSpec(std::string_view spec) {
  constexpr std::string_view kForms =
      "a folder path (or file:///path), redis://..., unix://..., https://HOST:PORT/, or "
      "http://127.0.0.1:PORT/ "
      "for a server on this machine";
  std::string_view scheme = schemeOf(spec);
  if (scheme.empty()) return Status::Ok();
  std::string shown;
  for (char c : scheme) shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  if (spec.starts_with("redis://") || spec.starts_with("unix://") || spec.starts_with("https://"))
    return Status::Ok();
  if (spec.starts_with(kFileScheme) && spec.size() > kFileScheme.size() && spec[kFileScheme.size()] == '/')
    return Status::Ok();
  if (spec.starts_with(kHttpScheme)) {
    if (isThisMachine(httpHost(spec))) return Status::Ok();
    return Status::Invalid(
        "--cloud: http:// reaches only a server on this machine (127.0.0.1, [::1], "
        "localhost); use https:// for another machine");
  }
  return Status::Invalid("--cloud: not a cloud store: " + shown + "... (it takes " + std::string(kForms) +
                         ")");
}

std::string_view cloudFolderPath(std::string_view spec) {
  return spec.starts_with(kFileScheme) ? spec.substr(kFileScheme.size()) : spec;
}

Result<std::unique_ptr<CloudTransport>> openCloudBacking(const CloudOptions& options, const fs::path& home) {
  const std::string_view spec = options.spec;
  if (Status valid = checkCloudSpec(spec); !valid.ok()) return valid;
  if (spec.starts_with("https://") || spec.starts_with(kHttpScheme))
    return Status::Invalid("a server's cloud store is a folder or a Redis server, not another server (" +
                           std::string(spec) + ")");
  if (isRedis(spec)) {
    Result<std::unique_ptr<RedisTransport>> redis = openRedis(options);
    if (!redis.ok()) return redis.status();
    return std::unique_ptr<CloudTransport>(std::move(redis.value()));
  }
  fs::path folder = home / "cloud";
  if (!spec.empty()) {
    std::error_code error;
    folder = fs::absolute(fs::path(cloudFolderPath(spec)), error).lexically_normal();
    if (error)
      return Status::Error("cannot find the cloud folder \"" + std::string(spec) + "\": " + error.message());
  }
  Result<std::unique_ptr<FolderTransport>> transport = FolderTransport::open(folder);
  if (!transport.ok()) return transport.status();
  return std::unique_ptr<CloudTransport>(std::move(transport.value()));
}

Result<std::unique_ptr<CloudStore>> makeCloudStore(const CloudOptions& options, const fs::path& home) {
  const std::string_view spec = options.spec;
  if (Status valid = checkCloudSpec(spec); !valid.ok()) return valid;
  if (spec.starts_with("https://") || spec.starts_with(kHttpScheme))
    return makeHttpsCloudStore(spec, home, options.token, options.caFile);
  std::string nameSpace;  // a Redis server's outbox is kept per namespace
  Result<std::unique_ptr<CloudTransport>> backing = openCloudBacking(options, home);
  if (!backing.ok()) return backing.status();
  if (isRedis(spec)) nameSpace = static_cast<const RedisTransport&>(*backing.value()).address().nameSpace;
  Result<std::unique_ptr<OutboxCloudStore>> store =
      OutboxCloudStore::open(std::move(backing.value()), home, nameSpace);
  if (!store.ok()) return store.status();
  return std::unique_ptr<CloudStore>(std::move(store.value()));
}

}  // namespace quillbox
