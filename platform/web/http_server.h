#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace quillbox::web {

using HttpClock = std::chrono::steady_clock;
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// One request as it arrived. Header names are kept in lower case.
struct HttpRequest {
  std::string method;
  std::string target;    // as sent: the path and the query
  std::string path;      // percent-decoded
  std::string query;     // as sent, after '?'
  int minorVersion = 1;  // HTTP/1.x
  HttpHeaders headers;
  std::string body;      // empty while the head is screened
  std::string peer;      // the client's address (a trusted proxy's client, see trustProxy)
  bool secure = false;   // it came over TLS (to this server, or to a trusted proxy that says so)
  bool upgrade = false;  // it asks for a WebSocket

  // The first value of the header of that name, in any case; "" when absent.
  std::string_view header(std::string_view name) const;
  // The decoded value of a query parameter ('+' is a space); nothing when absent.
  std::optional<std::string> param(std::string_view name) const;
};

// Decodes %XX escapes in a request's path; nothing for a broken escape or one that makes a NUL.
std::optional<std::string> decodePath(std::string_view path);

class HttpSocket;

// An answer. With a socket, to a request that asks for a WebSocket (see HttpRequest::upgrade):
// the upgrade is accepted, naming protocol (when not empty) as the socket's subprotocol, and the
// connection then carries the socket's messages; status and body are ignored. A socket given to
// any other request, or to a stranger's, is answered 400 and ends.
struct HttpResponse {
  int status = 200;
  HttpHeaders headers;
  std::string body;
  std::shared_ptr<HttpSocket> socket;
  std::string protocol;

  // A body of that type.
  static HttpResponse text(int status, std::string body,
                           std::string_view contentType = "text/plain; charset=utf-8");
};

// The server's end of a WebSocket: text messages both ways, each way in order. Safe from any
// thread. The server closes it when its client leaves or stops answering the server's pings, when
// the client does not take what waits within the drain timeout, or when more than the socket
// buffer limit waits; the socket then reports closed.
class HttpSocket {
 public:
  // Handed each message the client sends, in order, on one of the worker threads; the next message
  // is read once it returns. Set before the socket is handed to the server.
  std::function<void(std::string)> onMessage;

  HttpSocket() = default;
  HttpSocket(const HttpSocket&) = delete;
  HttpSocket& operator=(const HttpSocket&) = delete;

  // Queues a message to go out; false (and nothing queued) once the socket is closed or ended.
  bool send(std::string message);
  // Closes the socket cleanly once what is queued has gone out.
  void end();
  // True once the connection has gone, whatever the reason.
  bool closed() const;
  // When it closed; meaningless before.
  HttpClock::time_point closedAt() const;

 private:
  friend struct HttpSocketAccess;
  mutable std::mutex mutex_;
  std::deque<std::string> pending_;
  std::size_t pendingBytes_ = 0;
  bool ended_ = false;
  bool closed_ = false;
  HttpClock::time_point closedAt_{};
  std::function<void()> wake_;  // set once the server has taken the socket up
};

class TlsContext;
struct ServerCore;

// Who sent a request, as its head's credential shows.
enum class Standing {
  stranger,  // no credential: answered from the head alone, its body never read
  owner,     // the page's token
  device,    // a paired device's token
};

// The screening's word on a request's head.
struct Screening {
  // An answer that refuses the request from its head; its body is never read.
  std::optional<HttpResponse> refusal;
  Standing standing = Standing::stranger;
  // The largest body taken from the owner or a device (0: the server's maxBodyBytes).
  std::size_t maxBodyBytes = 0;

  static Screening refuse(HttpResponse answer) { return {std::move(answer), Standing::stranger, 0}; }
  static Screening as(Standing standing, std::size_t maxBodyBytes = 0) {
    return {std::nullopt, standing, maxBodyBytes};
  }
};

struct HttpServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port

  // Looks at each request's head, before its body is read or anything else is done: a refusal is
  // sent and the connection closed; otherwise the request is the owner's, a device's (its
  // connection then holds a slot no stranger can take, and its body is read) or a stranger's
  // (handled with an empty body, and its connection closed after the answer). Runs on the
  // server's network thread, so it must be quick and must not wait long.
  std::function<Screening(const HttpRequest&)> screen;
  // Answers a screened request (a stranger's without its body). Runs on one of the worker threads.
  std::function<HttpResponse(const HttpRequest&)> handle;
  // Sent with every answer, refusals included, but for those the answer sets itself.
  HttpHeaders commonHeaders;

  std::size_t maxHeadBytes = 16 * 1024;               // larger heads get 431
  std::size_t maxBodyBytes = std::size_t{4} << 20;    // larger bodies get 413, before they are read
  std::chrono::milliseconds headTimeout{5000};        // the whole head, from its first byte
  std::chrono::milliseconds bodyTimeout{5000};        // the least time a body is given
  std::size_t slowestBodyBytesPerSecond = 64 * 1024;  // a larger body is given longer
  std::chrono::milliseconds writeTimeout{10000};      // the least time an answer is given
  std::size_t slowestWriteBytesPerSecond = 64 * 1024;
  std::chrono::milliseconds idleTimeout{5000};    // a kept-alive connection between requests
  std::chrono::milliseconds drainTimeout{15000};  // a socket's client takes what waits
  std::size_t maxSocketBuffer = std::size_t{64} << 20;
  // A socket's client is pinged when it has sent nothing for half this long, and closed when it
  // has sent nothing, not even the answer to a ping, for this long: so an idle socket behind a
  // proxy that closes quiet connections stays open. A socket's messages stop at maxBodyBytes.
  std::chrono::milliseconds socketIdleTimeout{30000};
  std::chrono::milliseconds lingerTimeout{2000};  // reading what follows an owner's refused request
  std::size_t maxConnections = 256;
  // Connections that no credential has been shown on (heads on their way, strangers' answers):
  // past this many, or at maxConnections, a new connection closes the oldest of them, so the owner
  // and the devices always find a slot.
  std::size_t maxUnchecked = 192;
  // The same, from one address.
  std::size_t maxUnscreenedPerAddress = 64;
  std::size_t workers = 4;

  // Serves TLS with this certificate (the handshake falls under the head's deadline); plain TCP
  // when null.
  std::shared_ptr<const TlsContext> tls;
  // A reverse proxy on loopback: a request that comes from a loopback address and carries
  // X-Forwarded-For gets the last address of that header as its peer, and is secure only when
  // X-Forwarded-Proto says "https".
  bool trustProxy = false;
};

// A small HTTP/1.1 server on Boost.Beast. One network thread accepts connections and reads heads and
// bodies without blocking, so a slow or silent client costs a file descriptor and never a thread;
// whole heads, bodies and answers have deadlines. Screened, complete requests go to a small pool
// of workers; their answers, and the messages sockets are given, are written by the network thread.
// Request bodies come with a Content-Length (chunked ones are refused with 411). Connections
// are kept alive between requests for the idle timeout.
class HttpServer {
 public:
  explicit HttpServer(HttpServerOptions options);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the address (SO_REUSEADDR, never SO_REUSEPORT) without serving yet, so that the port
  // is known before the first request. Fails, naming the address, when it cannot be bound.
  Status listen();
  // Starts serving (binding first when listen() has not). Fails as listen() does.
  Status start();
  // The port bound; 0 before listen().
  int port() const;
  // Stops accepting, gives ended sockets a moment to send their last messages, closes every
  // connection (every socket then reports closed) and waits for the workers. Safe to call more
  // than once.
  void stop();

  // How many connections are open (for tests and measurements).
  std::size_t connectionCount() const;
  // How many bytes were taken from sockets past the requests' heads (for tests and measurements).
  std::size_t bytesPastHeads() const;

 private:
  std::unique_ptr<ServerCore> impl_;
};

}  // namespace quillbox::web
