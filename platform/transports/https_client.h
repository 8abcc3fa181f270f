#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace quillbox {

// Where an HTTPS server is: https://HOST[:PORT][/PATH/][?timeout_ms=N]. HOST is a name, an IPv4
// address or an IPv6 address in brackets; PORT defaults to 443; PATH, when given, ends with "/".
// http://HOST... is taken only for a server on this machine (localhost, 127.x, ::1): plain HTTP,
// port 80 by default.
struct HttpsAddress {
  static constexpr int kDefaultTimeoutMs = 5000;

  std::string host;  // without brackets
  int port = 443;
  std::string path = "/";
  int timeoutMs = kDefaultTimeoutMs;  // bound on each call, from connecting to the last byte of the answer
  bool plain = false;                 // http:// to this machine

  // "https://host:port/path/" (or "http://..."), the port always shown; no query.
  std::string text() const;
};

// True for a host that names this machine: localhost, 127.0.0.0/8 or ::1 (any case).
bool isThisMachine(const std::string& host);

// Reads an address. Fails, saying what is wrong, for another scheme, a missing host, a bad port,
// a path with a query part other than timeout_ms (1 to 600000), user information or a fragment.
Result<HttpsAddress> parseHttpsAddress(std::string_view text);

using HttpsHeaders = std::vector<std::pair<std::string, std::string>>;

// An answer as it came: header names in lower case.
struct HttpsReply {
  int status = 0;
  HttpsHeaders headers;
  std::string body;

  // The first value of the header of that name (lower case); "" when absent.
  std::string_view header(std::string_view name) const;
};

// A small HTTP/1.1 client for one HTTPS server. The server's certificate is always verified: it
// must chain to an authority the system trusts or to one in caFile, and name the address's host
// (its name, or its IP address). One connection is kept between calls and opened again when the
// server has closed it. Every call gives up once the address's timeout has passed since it began,
// however slowly the server answers. Writes to a connection the server has closed never raise
// SIGPIPE. Never throws. One object is used by one thread at a time.
class HttpsClient {
 public:
  // Fails, naming the file and the reason, when caFile is given and cannot be read as certificates.
  static Result<std::unique_ptr<HttpsClient>> open(HttpsAddress address, const std::string& caFile);
  ~HttpsClient();
  HttpsClient(const HttpsClient&) = delete;
  HttpsClient& operator=(const HttpsClient&) = delete;

  // Sends one request (target: the path and query, starting with "/"; Host and Content-Length are
  // added) and reads its answer. Unavailable, with a message that names the address and the reason,
  // when the server cannot be reached, its certificate does not verify, the connection breaks or no
  // whole answer comes in time; Error for an answer that is not HTTP.
  Result<HttpsReply> request(std::string_view method, std::string_view target, const HttpsHeaders& headers,
                             std::string_view body = {});

  const HttpsAddress& address() const;

 private:
  struct Impl;
  explicit HttpsClient(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillbox
