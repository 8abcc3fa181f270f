#include "platform/web/http_server.h"

#include <openssl/ssl.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

#include "platform/web/http_connection.h"
#include "platform/web/tls_transport.h"

namespace quillbox::web {

namespace {

constexpr auto kStopGrace = std::chrono::milliseconds(1000);
constexpr auto kAcceptRetry = std::chrono::milliseconds(50);

std::string peerName(const tcp::socket& socket) {
  boost::system::error_code ec;
  tcp::endpoint remote = socket.remote_endpoint(ec);
  if (ec) return {};
  asio::ip::address address = remote.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  return address.to_string();
}

}  // namespace

HttpServer::HttpServer(HttpServerOptions options) : impl_(std::make_unique<ServerCore>(std::move(options))) {}

HttpServer::~HttpServer() { stop(); }

int HttpServer::port() const { return impl_->port.load(); }

std::size_t HttpServer::connectionCount() const { return impl_->open.load(); }

std::size_t HttpServer::bytesPastHeads() const { return impl_->bodyBytes.load(); }

Status HttpServer::listen() {
  ServerCore& s = *impl_;
  if (s.acceptor.is_open()) return Status::Ok();
  const std::string where = s.options.host + ":" + std::to_string(s.options.port);
  const Status failed =
      Status::Error("cannot listen on " + where + " (in use, or not an address of this machine)");
  boost::system::error_code ec;
  tcp::resolver resolver(s.ioc);
  auto found = resolver.resolve(s.options.host, std::to_string(s.options.port),
                                tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec) return failed;
  for (const auto& entry : found) {
    tcp::acceptor acceptor(s.ioc);
    // Only SO_REUSEADDR (a restart right after a stop binds again): no SO_REUSEPORT, so a second
    // app on the same address fails to start instead of sharing the browsers with the first.
    if (acceptor.open(entry.endpoint().protocol(), ec) ||
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec) || acceptor.bind(entry.endpoint(), ec) ||
        acceptor.listen(asio::socket_base::max_listen_connections, ec))
      continue;
    s.port = acceptor.local_endpoint().port();
    s.acceptor = std::move(acceptor);
    return Status::Ok();
  }
  return failed;
}

Status HttpServer::start() {
  ServerCore& s = *impl_;
  if (s.started) return Status::Error("the server has already started");
  if (Status bound = listen(); !bound.ok()) return bound;
  if (s.options.tls) {
    SSL_CTX* native = s.options.tls->native();
    SSL_CTX_up_ref(native);  // the asio context takes a reference of its own
    s.tls.emplace(native);
  }
  s.started = true;
  s.accept();
  s.network = std::thread([&s] { s.ioc.run(); });
  for (std::size_t i = 0; i < std::max<std::size_t>(1, s.options.workers); ++i)
    s.workers.emplace_back([&s] { s.work(); });
  return Status::Ok();
}

void HttpServer::stop() {
  ServerCore& s = *impl_;
  if (!s.started || s.stopping.exchange(true)) return;
  // Streams that were ended get a moment to send their last bytes; everything else closes now.
  asio::post(s.ioc, [&s] {
    boost::system::error_code ignored;
    s.acceptor.close(ignored);
    s.closeAll(false);
  });
  {
    std::unique_lock<std::mutex> lock(s.liveMutex);
    s.liveGone.wait_for(lock, kStopGrace, [&s] { return s.liveCount == 0; });
  }
  asio::post(s.ioc, [&s] { s.closeAll(true); });
  {
    std::lock_guard<std::mutex> guard(s.jobMutex);
    s.workersEnd = true;
  }
  s.jobWake.notify_all();
  for (std::thread& worker : s.workers) worker.join();
  s.ioc.stop();
  s.network.join();
}

void ServerCore::run(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> guard(jobMutex);
    jobs.push_back(std::move(job));
  }
  jobWake.notify_one();
}

void ServerCore::work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(jobMutex);
      jobWake.wait(lock, [&] { return workersEnd || !jobs.empty(); });
      if (workersEnd) return;
      job = std::move(jobs.front());
      jobs.pop_front();
    }
    job();
  }
}

void ServerCore::accept() {
  acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (stopping || !acceptor.is_open()) return;
    if (ec) {
      // Out of descriptors, say: the waiting connections stay queued until one of ours closes.
      acceptRetry.expires_after(kAcceptRetry);
      acceptRetry.async_wait([this](boost::system::error_code) {
        if (!stopping) accept();
      });
      return;
    }
    admit(std::move(socket));
    accept();
  });
}

std::shared_ptr<Connection> ServerCore::evictable(const std::string* peer) {
  for (auto& [key, weak] : live) {
    std::shared_ptr<Connection> c = weak.lock();
    if (!c || c->standing() != Standing::stranger || (peer != nullptr && c->peer() != *peer)) continue;
    return c;
  }
  return nullptr;
}

void ServerCore::admit(tcp::socket socket) {
  // A connection holds a slot the owner or a device can count on only once their credential was
  // checked on a head. The others (heads on their way, strangers' answers) make way, the oldest
  // first, so connections that send nothing, or send no credential, never keep out those that do.
  std::string peer = peerName(socket);
  std::size_t unchecked = 0;
  std::size_t samePeer = 0;
  for (auto& [key, weak] : live) {
    std::shared_ptr<Connection> c = weak.lock();
    if (!c || c->standing() != Standing::stranger) continue;
    ++unchecked;
    if (c->peer() == peer) ++samePeer;
  }
  if (samePeer >= options.maxUnscreenedPerAddress) {
    if (std::shared_ptr<Connection> oldest = evictable(&peer)) {
      oldest->close();
      --unchecked;
    }
  }
  if (live.size() >= options.maxConnections || unchecked >= options.maxUnchecked) {
    std::shared_ptr<Connection> oldest = evictable(nullptr);
    if (oldest == nullptr) return;  // every slot holds a checked connection: this one closes
    oldest->close();
  }
  boost::system::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);  // a pushed message leaves at once
  std::shared_ptr<Connection> c = tls ? makeTlsConnection(*this, std::move(socket), std::move(peer))
                                      : makePlainConnection(*this, std::move(socket), std::move(peer));
  live.emplace(c->key(), c);
  {
    std::lock_guard<std::mutex> guard(liveMutex);
    ++liveCount;
  }
  c->start();
}

void ServerCore::forget(std::uint64_t key) {
  if (live.erase(key) == 0) return;
  std::lock_guard<std::mutex> guard(liveMutex);
  --liveCount;
  liveGone.notify_all();
}

void ServerCore::closeAll(bool all) {
  std::vector<std::shared_ptr<Connection>> alive;
  for (auto& [key, weak] : live) {
    if (std::shared_ptr<Connection> c = weak.lock()) alive.push_back(std::move(c));
  }
  for (auto& c : alive) {
    if (all || !c->streaming()) {
      c->close();
    } else {
      c->pull();
    }
  }
  if (all) {
    std::lock_guard<std::mutex> guard(liveMutex);
    live.clear();
    liveCount = 0;
    liveGone.notify_all();
  }
}

}  // namespace quillbox::web
