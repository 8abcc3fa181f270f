#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace quillbox {

// Where a Redis cloud store lives and how to log in, read from an address of the form
//   redis://[user[:password]@]host[:port][/db][?namespace=NAME&timeout_ms=N]
//   unix://[user[:password]@]/path/to/socket[?namespace=NAME&db=N&timeout_ms=N]
struct RedisAddress {
  static constexpr int kDefaultPort = 6379;
  static constexpr int kDefaultTimeoutMs = 250;
  static constexpr std::string_view kDefaultNamespace = "quillbox";

  bool isUnixSocket = false;
  std::string host;         // a name, an IPv4 address or an IPv6 address (without brackets); TCP only
  int port = kDefaultPort;  // TCP only
  std::string socketPath;   // Unix sockets only: an absolute path
  int db = 0;
  std::optional<std::string> user;                         // percent-decoded
  std::optional<std::string> password;                     // percent-decoded; never printed
  std::string nameSpace = std::string(kDefaultNamespace);  // every key is stored as "<nameSpace>:<key>"
  int timeoutMs = kDefaultTimeoutMs;                       // bound on connecting and on each reply

  // The address for people: canonical, with the password shown as "****" and the namespace named.
  std::string masked() const;

  // The key a cloud key is stored under on the server.
  std::string serverKey(std::string_view key) const;
};

// Reads an address. A malformed one (unknown scheme, bad port, database or timeout, bad percent escape,
// unknown or repeated parameter, empty or unusual namespace) gives an error that names the problem and
// shows the address with any password masked.
Result<RedisAddress> parseRedisAddress(std::string_view text);

// The text of an address, well formed or not, with whatever could be a password replaced by "****":
// for people, in errors and help texts.
std::string maskRedisAddress(std::string_view text);

}  // namespace quillbox
