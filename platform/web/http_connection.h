#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/web/http_server.h"

namespace quillbox::web {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// One accepted connection, as the server's slot keeping sees it. Network thread only.
class Connection {
 public:
  Connection(std::uint64_t key, std::string peer) : key_(key), peer_(std::move(peer)) {}
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  virtual void start() = 0;
  // Closes the socket at once; what is under way is dropped. Safe to call more than once.
  virtual void close() = 0;
  // Takes up what its stream was given (nothing when it streams none).
  virtual void pull() = 0;
  virtual bool streaming() const = 0;

  std::uint64_t key() const { return key_; }  // also its age: a larger key is a younger connection
  const std::string& peer() const { return peer_; }
  // A stranger's until a head shows the owner's or a device's credential.
  Standing standing() const { return standing_; }

 protected:
  Standing standing_ = Standing::stranger;

 private:
  std::uint64_t key_;
  std::string peer_;
};

// Arms timer to close the session after the time given, unless the session has gone by then.
template <class Session>
void closeAfter(asio::steady_timer& timer, std::chrono::milliseconds after,
                const std::shared_ptr<Session>& session) {
  timer.expires_after(after);
  timer.async_wait([weak = std::weak_ptr<Session>(session)](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto s = weak.lock()) s->close();
  });
}

// The first close of a session: its deadline cancelled, the socket under its stream closed. False,
// doing nothing, when the session was closed already.
template <class Stream>
bool closeOnce(bool& closed, asio::steady_timer& timer, Stream& stream) {
  if (closed) return false;
  closed = true;
  timer.cancel();
  boost::system::error_code ignored;
  boost::beast::get_lowest_layer(stream).close(ignored);
  return true;
}

// The state an HttpServer shares with its connections.
struct ServerCore {
  explicit ServerCore(HttpServerOptions o) : options(std::move(o)) {}

  HttpServerOptions options;
  std::atomic<int> port{0};
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> open{0};       // connections alive, their last handler included
  std::atomic<std::size_t> bodyBytes{0};  // bytes of bodies taken from sockets
  bool started = false;

  std::mutex jobMutex;
  std::condition_variable jobWake;
  std::deque<std::function<void()>> jobs;  // guarded by jobMutex
  bool workersEnd = false;                 // guarded by jobMutex
  std::vector<std::thread> workers;

  std::mutex liveMutex;
  std::condition_variable liveGone;
  std::size_t liveCount = 0;  // guarded by liveMutex: the size of live

  // Declared last so that it goes first: the connections its handlers hold count down `open`.
  asio::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  asio::steady_timer acceptRetry{ioc};
  std::optional<asio::ssl::context> tls;
  std::thread network;
  std::uint64_t nextKey = 1;
  std::map<std::uint64_t, std::weak_ptr<Connection>> live;  // network thread only; by age

  // Runs job on a worker thread.
  void run(std::function<void()> job);
  void work();
  void accept();
  void admit(tcp::socket socket);
  // The oldest live connection (of that peer, or of any) no credential was shown on.
  std::shared_ptr<Connection> evictable(const std::string* peer);
  // A connection has closed.
  void forget(std::uint64_t key);
  // Closes every connection (all) or those that stream nothing (the others send what was ended).
  void closeAll(bool all);
};

std::shared_ptr<Connection> makePlainConnection(ServerCore& server, tcp::socket socket, std::string peer);
std::shared_ptr<Connection> makeTlsConnection(ServerCore& server, tcp::socket socket, std::string peer);

}  // namespace quillbox::web
