#include "platform/web/http_connection.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <limits>

#include "platform/web/http_socket_access.h"
#include "platform/web/socket_session.h"
#include "platform/web/web_security.h"

namespace quillbox::web {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using ErrorCode = boost::system::error_code;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return out;
}

std::string_view trimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// What a trusted proxy on loopback says of the client it forwards.
void forwarded(HttpRequest& request) {
  std::string_view chain = request.header("X-Forwarded-For");
  if (chain.empty() || !isLoopbackHost(request.peer)) return;
  std::size_t comma = chain.rfind(',');
  std::string_view last = trimSpaces(comma == std::string_view::npos ? chain : chain.substr(comma + 1));
  if (last.empty()) return;
  request.peer = std::string(last);
  request.secure = lowered(trimSpaces(request.header("X-Forwarded-Proto"))) == "https";
}

std::chrono::milliseconds allowance(std::chrono::milliseconds least, std::size_t bytes,
                                    std::size_t perSecond) {
  return std::max(least, std::chrono::milliseconds(bytes * 1000 / std::max<std::size_t>(1, perSecond)));
}

// The request's head in our form; false for one that is not taken (an odd version or target).
bool takeHead(const http::request_parser<http::string_body>& parser, HttpRequest& request) {
  const auto& message = parser.get();
  if (message.version() != 10 && message.version() != 11) return false;
  std::string_view target(message.target().data(), message.target().size());
  if (target.empty() || target.front() != '/') return false;
  request.method = std::string(message.method_string());
  request.target = std::string(target);
  request.minorVersion = message.version() % 10;
  request.upgrade = beast::websocket::is_upgrade(message);
  std::size_t question = target.find('?');
  if (question != std::string_view::npos) request.query = std::string(target.substr(question + 1));
  std::optional<std::string> path = decodePath(target.substr(0, question));
  if (!path) return false;
  request.path = std::move(*path);
  for (const auto& field : message) {
    std::string_view value(field.value().data(), field.value().size());
    request.headers.emplace_back(
        lowered(std::string_view(field.name_string().data(), field.name_string().size())),
        std::string(value));
  }
  return true;
}

// A connection over a socket (plain) or a TLS stream over one. Its deadline timer closes it when
// the head, the body, the answer or a kept-alive pause takes too long. A WebSocket's upgrade,
// once answered, hands the connection over to a SocketSession.
template <class Stream>
class Session : public Connection, public std::enable_shared_from_this<Session<Stream>> {
 public:
  template <class... Args>
  Session(ServerCore& server, std::string peer, Args&&... args)
      : Connection(server.nextKey++, std::move(peer)),
        server_(server),
        stream_(std::forward<Args>(args)...),
        timer_(server.ioc) {
    ++server_.open;
  }
  ~Session() override { --server_.open; }

  void start() override {
    deadline(server_.options.headTimeout);
    if constexpr (kTls) {
      stream_.async_handshake(asio::ssl::stream_base::server, [self = self()](ErrorCode ec) {
        if (ec) return self->close();
        self->readHead();
      });
    } else {
      readHead();
    }
  }

  void close() override {
    if (closed_) return;
    closed_ = true;
    timer_.cancel();
    ErrorCode ignored;
    beast::get_lowest_layer(stream_).close(ignored);
    server_.forget(key());
  }

  bool streaming() const override { return false; }
  void pull() override {}

 private:
  static constexpr bool kTls = !std::is_same_v<Stream, tcp::socket>;

  std::shared_ptr<Session> self() { return this->shared_from_this(); }

  void deadline(std::chrono::milliseconds after) {
    timer_.expires_after(after);
    timer_.async_wait([weak = std::weak_ptr<Session>(self())](ErrorCode ec) {
      if (ec) return;
      if (auto s = weak.lock()) s->close();
    });
  }

  void readHead() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.options.maxHeadBytes));
    parser_->body_limit(
        std::numeric_limits<std::uint64_t>::max());  // what a credential may send is checked after
    if (!first_) deadline(server_.options.idleTimeout);
    first_ = false;
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = self()](ErrorCode ec, std::size_t) { self->onHead(ec); });
  }

  void onHead(ErrorCode ec) {
    if (closed_) return;
    if (ec == http::error::header_limit)
      return refuse(HttpResponse::text(431, "the request's head is too large\n"));
    if (ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message)
      return refuse(HttpResponse::text(400, "the request is malformed\n"));
    if (ec) return close();
    request_ = HttpRequest();
    request_.peer = peer();
    request_.secure = kTls;
    if (!takeHead(*parser_, request_)) return refuse(HttpResponse::text(400, "the request is malformed\n"));
    if (server_.options.trustProxy) forwarded(request_);
    upgrade_ = request_.upgrade;
    keepAlive_ = parser_->keep_alive();
    Screening screening =
        server_.options.screen ? server_.options.screen(request_) : Screening::as(Standing::owner);
    if (screening.refusal) return refuse(std::move(*screening.refusal));
    if (standing_ == Standing::stranger) standing_ = screening.standing;
    const bool declared = parser_->chunked() || !request_.header("Transfer-Encoding").empty();
    const std::uint64_t length = parser_->content_length().value_or(0);
    if (screening.standing == Standing::stranger) {
      // Answered from the head: whatever body it declares stays unread, and the connection closes.
      if (declared || length > 0) keepAlive_ = false;
      return dispatch();
    }
    if (declared) return refuse(HttpResponse::text(411, "send the body with a Content-Length\n"));
    std::size_t limit = screening.maxBodyBytes != 0 ? screening.maxBodyBytes : server_.options.maxBodyBytes;
    if (length > limit) return refuse(HttpResponse::text(413, "request body too large\n"));
    if (length == 0) return dispatch();
    deadline(allowance(server_.options.bodyTimeout, length, server_.options.slowestBodyBytesPerSecond));
    if (lowered(request_.header("Expect")) == "100-continue" && buffer_.size() == 0) {
      asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                        [self = self()](ErrorCode failed, std::size_t) {
                          if (failed) return self->close();
                          self->readBody();
                        });
      return;
    }
    readBody();
  }

  void readBody() {
    server_.bodyBytes += buffer_.size();
    http::async_read(stream_, buffer_, *parser_, [self = self()](ErrorCode ec, std::size_t) {
      if (ec || self->closed_) return self->close();
      self->server_.bodyBytes += self->parser_->get().body().size();
      self->request_.body = std::move(self->parser_->get().body());
      self->dispatch();
    });
  }

  void dispatch() {
    timer_.cancel();
    server_.run([self = self(), request = std::move(request_)] {
      HttpResponse response = self->server_.options.handle(request);
      asio::post(self->server_.ioc,
                 [self, response = std::move(response)]() mutable { self->answer(std::move(response)); });
    });
  }

  void refuse(HttpResponse response) {
    // The rest of the request is never read: the connection closes after the answer.
    keepAlive_ = false;
    response.socket.reset();
    answer(std::move(response));
  }

  template <class Message>
  void fill(Message& message, const HttpResponse& response) {
    message.result(static_cast<unsigned>(response.status));
    for (const auto& [name, value] : server_.options.commonHeaders) {
      bool own = std::any_of(response.headers.begin(), response.headers.end(),
                             [&](const auto& header) { return lowered(header.first) == lowered(name); });
      if (!own) message.set(name, value);
    }
    for (const auto& [name, value] : response.headers) message.insert(name, value);
  }

  void answer(HttpResponse response) {
    if (closed_) {
      if (response.socket) HttpSocketAccess::close(*response.socket);
      return;
    }
    if (response.socket) {
      if (upgrade_ && standing_ != Standing::stranger && !server_.stopping)
        return handOver(std::move(response));
      HttpSocketAccess::close(*response.socket);
      return refuse(HttpResponse::text(400, "this address is a WebSocket's\n"));
    }
    keepAlive_ = keepAlive_ && !server_.stopping && standing_ != Standing::stranger;
    auto message = std::make_shared<http::response<http::string_body>>();
    fill(*message, response);
    message->body() = std::move(response.body);
    if (response.status != 204 && response.status != 304) message->content_length(message->body().size());
    message->keep_alive(keepAlive_);
    deadline(allowance(server_.options.writeTimeout, message->body().size(),
                       server_.options.slowestWriteBytesPerSecond));
    http::async_write(stream_, *message, [self = self(), message](ErrorCode ec, std::size_t) {
      if (ec) return self->close();
      if (self->keepAlive_) return self->readHead();
      self->finish();
    });
  }

  // The connection goes on as a WebSocket: this session lets go of it without closing it.
  void handOver(HttpResponse response) {
    closed_ = true;
    timer_.cancel();
    takeOverAsSocket(server_, key(), peer(), standing_, std::move(stream_), parser_->release(),
                     std::move(response));
  }

  // Reads what the client still sends and throws it away, until it closes.
  void discard() {
    stream_.async_read_some(asio::buffer(scratch_), [self = self()](ErrorCode ec, std::size_t) {
      if (ec) return self->close();
      self->discard();
    });
  }

  // Done with the connection: say so. The owner's and devices' clients are read until they close
  // (so that closing never throws away the answer on its way); a stranger's never are, and its
  // connection stays only as long as any other that has shown no credential.
  void finish() {
    if (finished_) return;
    finished_ = true;
    if (server_.stopping) return close();  // its last bytes have gone
    ErrorCode ignored;
    beast::get_lowest_layer(stream_).shutdown(asio::socket_base::shutdown_send, ignored);
    timer_.expires_after(server_.options.lingerTimeout);
    timer_.async_wait([self = self()](ErrorCode) { self->close(); });
    if (standing_ != Standing::stranger) discard();
  }

  ServerCore& server_;
  Stream stream_;
  asio::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpRequest request_;
  bool first_ = true;
  bool upgrade_ = false;
  bool keepAlive_ = true;
  bool closed_ = false;
  bool finished_ = false;
  char scratch_[4096];
};

}  // namespace

std::shared_ptr<Connection> makePlainConnection(ServerCore& server, tcp::socket socket, std::string peer) {
  return std::make_shared<Session<tcp::socket>>(server, std::move(peer), std::move(socket));
}

std::shared_ptr<Connection> makeTlsConnection(ServerCore& server, tcp::socket socket, std::string peer) {
  return std::make_shared<Session<asio::ssl::stream<tcp::socket>>>(server, std::move(peer), std::move(socket),
                                                                   *server.tls);
}

}  // namespace quillbox::web
