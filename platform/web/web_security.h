#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace quillbox::web {

// Where the server listens: "HOST:PORT", "[IPv6]:PORT". Port 0 asks for any free port.
struct ListenAddress {
  std::string host;
  int port = 0;
};

// Reads --listen's text. Fails, saying why, for a missing host or port, a port that is not a
// number from 0 to 65535, or stray characters.
Result<ListenAddress> parseListenAddress(std::string_view text);

// True for the names of this machine's loopback interface: 127.0.0.0/8, ::1 and "localhost".
bool isLoopbackHost(std::string_view host);

// The secret every request to the app must carry, on loopback too (another user of the same
// machine reaches loopback as well): 32 random bytes as 64 hex digits, kept in <home>/web-token
// with mode 0600 and reused by later runs. A file that is missing or does not hold a well-formed
// token is replaced by a new one. Fails, naming the file, when it cannot be read or written.
Result<std::string> loadOrCreateToken(const std::filesystem::path& home);

// The address `quillbox serve` last announced ("http://HOST:PORT", its first when it printed
// several), kept in <home>/web-address with mode 0600 so that `quillbox devices add` can print a
// phone's address. Fails, naming the file, when it cannot be written.
Status saveServerAddress(const std::filesystem::path& home, std::string_view origin);

// The address kept there; "" when there is none, or what is there is not an http(s) origin.
std::string loadServerAddress(const std::filesystem::path& home);

// The page offers two subprotocols when it opens its socket: kSocketProtocol, which the server
// names in its answer, and the page's token after kSocketTokenPrefix, so that the token is checked
// on the socket's opening request like every other credential, and never rides in a cookie.
inline constexpr std::string_view kSocketProtocol = "quillbox";
inline constexpr std::string_view kSocketTokenPrefix = "quillbox.token.";

// The token offered in a Sec-WebSocket-Protocol header's comma-separated list; "" when none is.
std::string socketToken(std::string_view protocols);

// Compares two secrets in a time that does not depend on where they differ.
bool sameSecret(std::string_view a, std::string_view b);

// The checks every request passes before anything is served.
class RequestGuard {
 public:
  // host and port are the address the server is bound to; machineNames are further names this
  // machine answers to (its host name and host name ".local") for a server off loopback.
  // token is the secret requests must carry; an empty one is never matched.
  // publicOrigins ("https://notes.example.org") are the origins the app answers to behind a reverse
  // proxy: their host (and port) is taken in the Host header, and they are the page's own origin.
  RequestGuard(std::string host, int port, std::string token, std::vector<std::string> machineNames = {},
               std::vector<std::string> publicOrigins = {});

  // The Host header names this server: a loopback server answers only to 127.0.0.1, localhost and
  // [::1]; a server on another address to any IP address, its listen name, localhost and the
  // machine's names. The port must be the server's. A missing Host fails. This is what stops a
  // web page from reaching the app through a name that it rebinds to this machine.
  bool hostAllowed(std::string_view hostHeader) const;

  // A request that changes things or opens an event stream comes from the app's own page: its
  // Origin, when sent, is "http://" (over TLS: "https://") and the Host header; without one, Sec-Fetch-Site
  // (when sent) says same-origin or none. Anything else is another site's request.
  static bool originAllowed(std::string_view origin, std::string_view hostHeader, std::string_view fetchSite,
                            bool secure = false);

  // True for one of the public origins (in any case).
  bool isPublicOrigin(std::string_view origin) const;

  // True when the secret is the server's token.
  bool tokenMatches(std::string_view secret) const;

 private:
  std::string host_;
  int port_;
  std::string token_;
  std::vector<std::string> names_;
  std::vector<std::string> origins_;      // lower case
  std::vector<std::string> authorities_;  // their HOST[:PORT], lower case
};

}  // namespace quillbox::web
