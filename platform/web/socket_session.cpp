#include "platform/web/socket_session.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>

#include "platform/web/http_socket_access.h"

namespace quillbox::web {

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using ErrorCode = boost::system::error_code;

// A WebSocket over a plain or TLS connection. Reads one message at a time, handing each to the
// socket's owner on a worker and reading the next once it is taken; writes what the socket is given,
// one message at a time, under the drain deadline. Beast pings a quiet client and closes a silent one.
template <class Stream>
class SocketSession : public Connection, public std::enable_shared_from_this<SocketSession<Stream>> {
 public:
  SocketSession(ServerCore& server, std::uint64_t key, std::string peer, Standing standing, Stream stream,
                std::shared_ptr<HttpSocket> socket)
      : Connection(key, std::move(peer)),
        server_(server),
        ws_(std::move(stream)),
        timer_(server.ioc),
        socket_(std::move(socket)) {
    standing_ = standing;
    ++server_.open;
  }
  ~SocketSession() override {
    HttpSocketAccess::close(*socket_);
    --server_.open;
  }

  void accept(UpgradeRequest request, std::string protocol) {
    const HttpServerOptions& options = server_.options;
    // The upgrade's answer and the closing handshake run under this session's own deadline: a
    // timeout of Beast's own while it closes would reach a read it holds back, which it does not expect.
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = websocket::stream_base::none();
    timeouts.idle_timeout = options.socketIdleTimeout;
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [protocol, common = options.commonHeaders](websocket::response_type& answer) {
          for (const auto& [name, value] : common) answer.set(name, value);
          if (!protocol.empty()) answer.set(beast::http::field::sec_websocket_protocol, protocol);
        }));
    ws_.read_message_max(options.maxBodyBytes);
    deadline(options.writeTimeout);
    ws_.async_accept(request, [self = self()](ErrorCode ec) {
      if (ec) return self->close();
      self->timer_.cancel();
      HttpSocketAccess::wakeWith(*self->socket_,
                                 [weak = std::weak_ptr<SocketSession>(self), &ioc = self->server_.ioc] {
                                   asio::post(ioc, [weak] {
                                     if (auto s = weak.lock()) s->pull();
                                   });
                                 });
      self->read();
      self->pull();
    });
  }

  void start() override {}

  void close() override {
    if (closed_) return;
    closed_ = true;
    timer_.cancel();
    ErrorCode ignored;
    beast::get_lowest_layer(ws_).close(ignored);
    HttpSocketAccess::close(*socket_);
    server_.forget(key());
  }

  bool streaming() const override { return true; }

  void pull() override {
    if (closed_) return;
    // What waits in all: it takes far less than it is sent.
    if (outBytes_ + sending_.size() + HttpSocketAccess::waiting(*socket_) > server_.options.maxSocketBuffer)
      return close();
    if (writing_) return;
    HttpSocketAccess::Taken taken = HttpSocketAccess::take(*socket_);
    for (std::string& message : taken.messages) {
      outBytes_ += message.size();
      out_.push_back(std::move(message));
    }
    ended_ = ended_ || taken.ended;
    if (!out_.empty()) return write();
    if (ended_ && !closing_) {
      closing_ = true;
      deadline(server_.options.writeTimeout);
      ws_.async_close(websocket::close_code::normal, [self = self()](ErrorCode) { self->close(); });
    }
  }

 private:
  std::shared_ptr<SocketSession> self() { return this->shared_from_this(); }

  void deadline(std::chrono::milliseconds after) {
    timer_.expires_after(after);
    timer_.async_wait([weak = std::weak_ptr<SocketSession>(self())](ErrorCode ec) {
      if (ec) return;
      if (auto s = weak.lock()) s->close();
    });
  }

  void write() {
    writing_ = true;
    sending_ = std::move(out_.front());
    out_.pop_front();
    outBytes_ -= sending_.size();
    deadline(server_.options.drainTimeout);
    ws_.text(true);
    ws_.async_write(asio::buffer(sending_), [self = self()](ErrorCode ec, std::size_t) {
      self->writing_ = false;
      self->sending_.clear();
      if (ec) return self->close();
      self->timer_.cancel();
      self->pull();
    });
  }

  // Never once the socket is closing: Beast would hold the read behind its close.
  void read() {
    if (closing_ || closed_) return;
    ws_.async_read(buffer_, [self = self()](ErrorCode ec, std::size_t) {
      if (ec || self->closed_) return self->close();
      std::string message = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      self->server_.run([self, message = std::move(message)]() mutable {
        if (self->socket_->onMessage) self->socket_->onMessage(std::move(message));
        asio::post(self->server_.ioc, [self] { self->read(); });
      });
    });
  }

  ServerCore& server_;
  websocket::stream<Stream> ws_;
  asio::steady_timer timer_;
  std::shared_ptr<HttpSocket> socket_;
  beast::flat_buffer buffer_;
  std::deque<std::string> out_;  // taken from the socket, not yet being written
  std::size_t outBytes_ = 0;
  std::string sending_;
  bool writing_ = false;
  bool ended_ = false;
  bool closing_ = false;
  bool closed_ = false;
};

template <class Stream>
void takeOver(ServerCore& server, std::uint64_t key, std::string peer, Standing standing, Stream stream,
              UpgradeRequest request, HttpResponse response) {
  auto session = std::make_shared<SocketSession<Stream>>(server, key, std::move(peer), standing,
                                                         std::move(stream), std::move(response.socket));
  server.live[key] = session;
  session->accept(std::move(request), std::move(response.protocol));
}

}  // namespace

void takeOverAsSocket(ServerCore& server, std::uint64_t key, std::string peer, Standing standing,
                      tcp::socket stream, UpgradeRequest request, HttpResponse response) {
  takeOver(server, key, std::move(peer), standing, std::move(stream), std::move(request),
           std::move(response));
}

void takeOverAsSocket(ServerCore& server, std::uint64_t key, std::string peer, Standing standing,
                      asio::ssl::stream<tcp::socket> stream, UpgradeRequest request, HttpResponse response) {
  takeOver(server, key, std::move(peer), standing, std::move(stream), std::move(request),
           std::move(response));
}

}  // namespace quillbox::web
