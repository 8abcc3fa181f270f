#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "platform/sync/cloud_transport.h"
#include "platform/transports/cloud_store_spec.h"

namespace quillbox {

// One device allowed to reach a server's cloud endpoint.
struct DeviceRecord {
  std::string name;
  std::string digest;         // the SHA-256 of its token, as hex: the token itself is never kept
  std::int64_t added = 0;     // seconds since 1970, UTC
  std::int64_t lastSeen = 0;  // the same; 0 when never seen
};

// The devices of a server and their tokens, kept in a backing of their own: the server's Redis
// (under the cloud store's namespace, so every server on that Redis answers the same devices and
// a revoke on one is seen by all at the next request), else a folder in the server's home. The
// list is the key "devices" (a line "NAME DIGEST ADDED" per device); when each was last seen, the
// key "device-seen.NAME". Changes to the list are conditional writes, so two changes at once never
// lose one another. A list that cannot be read as such is never written over: every call fails,
// naming it. Safe to share between threads.
class DeviceTokens {
 public:
  // How often at most one server records that a device was seen.
  static constexpr std::chrono::seconds kSeenEvery{60};

  // now: the time in seconds since 1970 (the system clock when not given).
  explicit DeviceTokens(std::unique_ptr<CloudTransport> backing, std::function<std::int64_t()> now = {});

  // The devices of the server whose cloud store spec names (see makeCloudStore): in that Redis, or
  // in <home>/devices. Invalid for an https:// spec (devices are added on the server itself).
  static Result<std::unique_ptr<DeviceTokens>> forCloud(const CloudOptions& cloud,
                                                        const std::filesystem::path& home);

  // A name is 1 to 40 letters, digits, ".", "_" or "-", starting with a letter or digit.
  static bool isDeviceName(std::string_view name);

  // Adds a device and gives its new random token (32 bytes as 64 hex digits), the only time it is
  // ever shown. Invalid for a bad name; Conflict when a device has that name.
  Result<std::string> add(std::string_view name);
  // The devices, in the order they were added.
  Result<std::vector<DeviceRecord>> list();
  // Ends a device's access for every server at once. NotFound when no device has that name.
  Status revoke(std::string_view name);
  // The name of the device whose token this is; nothing for a token that is no device's (unknown,
  // revoked, malformed). Compared in constant time. Records now as the device's last-seen time, at
  // most once per kSeenEvery. Fails when the list cannot be read.
  Result<std::optional<std::string>> check(std::string_view token);

  std::string describe() const;

 private:
  Result<std::vector<DeviceRecord>> read(std::optional<std::string>& raw);
  Status change(const std::function<Status(std::vector<DeviceRecord>&)>& edit);

  std::mutex mutex_;
  std::unique_ptr<CloudTransport> backing_;
  std::function<std::int64_t()> now_;
  std::map<std::string, std::int64_t, std::less<>> seenWritten_;  // by this process
};

}  // namespace quillbox
