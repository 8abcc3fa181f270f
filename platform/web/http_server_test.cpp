#include "platform/web/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

namespace quillbox::web {
namespace {

using namespace std::chrono_literals;

constexpr const char* kGood = "Cookie: t=good\r\n";

// One client connection, written and read byte for byte as a test wants.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 64 * 1024;  // so that a client that reads nothing is soon full
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~RawClient() { ::close(fd_); }

  void send(const std::string& text) { (void)::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }

  // What arrives until `until` has arrived (or the connection closed): "" when nothing came in 10 s.
  std::string read(std::string_view until = "\r\n\r\n") {
    while (received_.find(until) == std::string::npos && more()) {
    }
    std::size_t end = received_.find(until);
    std::string got = received_.substr(0, end == std::string::npos ? received_.size() : end + until.size());
    received_.erase(0, got.size());
    return got;
  }
  // The status line and body of the next answer.
  std::string answer() {
    std::string head = read();
    if (head.empty()) return "closed";
    std::size_t length = 0;
    if (std::size_t at = head.find("Content-Length: "); at != std::string::npos)
      length = std::stoul(head.substr(at + 16));
    while (received_.size() < length && more()) {
    }
    std::string body = received_.substr(0, length);
    received_.erase(0, body.size());
    return head.substr(9, head.find('\r') - 9) + (body.empty() ? "" : " " + body);
  }
  // True once the server has closed the connection (what it sent before is skipped).
  bool closed() {
    while (more()) received_.clear();
    return closed_;
  }

 private:
  bool more() {
    pollfd ready{fd_, POLLIN, 0};
    if (closed_ || ::poll(&ready, 1, 10000) != 1) return false;
    char buffer[65536];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    received_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  int fd_;
  bool closed_ = false;
  std::string received_;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (server_) server_->stop();
  }

  // Serves with a clock that moves only when told. Requests pass the screening with the cookie
  // t=good; /stream answers with a stream that the test then holds.
  void start(HttpServerOptions options = {}) {
    options.clock = [this] { return HttpClock::time_point(std::chrono::milliseconds(clockMs_.load())); };
    options.screen = [](const HttpRequest& request) -> std::optional<HttpResponse> {
      if (request.header("COOKIE") == "t=good") return std::nullopt;
      return HttpResponse::text(403, "no token");
    };
    options.handle = [this](const HttpRequest& request) {
      ++handled_;
      if (request.path != "/stream") {
        return HttpResponse::text(
            200, request.method + " " + request.path + " " + request.body + request.param("q").value_or(""));
      }
      HttpResponse response;
      response.stream = std::make_shared<HttpStream>();
      streams_.set_value(response.stream);
      return response;
    };
    server_ = std::make_unique<HttpServer>(std::move(options));
    ASSERT_TRUE(server_->start().ok());
  }
  void advance(std::chrono::milliseconds by) { clockMs_ += by.count(); }
  std::unique_ptr<RawClient> connect() { return std::make_unique<RawClient>(server_->port()); }
  // Opens a stream and gives it back once its head has arrived.
  std::shared_ptr<HttpStream> openStream(RawClient& client) {
    streams_ = {};
    client.send(std::string("GET /stream HTTP/1.1\r\n") + kGood + "\r\n");
    EXPECT_NE(client.read().find("200 OK"), std::string::npos);
    return streams_.get_future().get();
  }
  // Returns once the network thread has taken a turn after this call: what was given to a stream
  // before has been taken up, and the clock as it now stands has been looked at.
  void sync() {
    auto client = connect();
    client->send(std::string("GET /sync HTTP/1.1\r\n") + kGood + "\r\n");
    ASSERT_EQ(client->answer(), "200 OK GET /sync ");
  }
  template <class F>
  static bool eventually(F check) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
      if (check()) return true;
      std::this_thread::sleep_for(5ms);
    }
    return check();
  }

  std::atomic<std::int64_t> clockMs_{0};
  std::atomic<int> handled_{0};
  std::promise<std::shared_ptr<HttpStream>> streams_;
  std::unique_ptr<HttpServer> server_;
};

TEST_F(HttpServerTest, RequestsAreReadByTheRulesAndMalformedOnesRefused) {
  HttpServerOptions options;
  options.maxBodyBytes = 100;
  start(options);
  const std::string good = kGood, malformed = "400 Bad Request the request is malformed\n";
  std::vector<std::pair<std::string, std::string>> cases = {
      {"GET /a%20b?q=x+y%21 HTTP/1.1\r\n" + good + "\r\n", "200 OK GET /a b x y!"},
      {"POST /p HTTP/1.0\r\n" + good + "Content-Length: 5\r\n\r\nhello", "200 OK POST /p hello"},
      {"GET /a HTTP/1.1\r\nCookie: t=bad\r\n\r\n", "403 Forbidden no token"},
      {"GET /a HTTP/2.0\r\n" + good + "\r\n", malformed},
      {"GET http://x/a HTTP/1.1\r\n" + good + "\r\n", malformed},
      {"GET /a  HTTP/1.1\r\n" + good + "\r\n", malformed},
      {"GET /a%zz HTTP/1.1\r\n" + good + "\r\n", malformed},
      {"GET /a HTTP/1.1\r\n" + good + "X-Folded: a\r\n b\r\n\r\n", malformed},
      {"POST /a HTTP/1.1\r\n" + good + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", malformed},
      {"POST /a HTTP/1.1\r\n" + good + "Content-Length: -1\r\n\r\n", malformed},
      {"POST /a HTTP/1.1\r\n" + good + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
       "411 Length Required send the body with a Content-Length\n"},
      {"GET /a HTTP/1.1\r\n" + good + "X-Big: " + std::string(20000, 'x') + "\r\n\r\n",
       "431 Request Header Fields Too Large the request's head is too large\n"},
  };
  std::string failures;
  for (const auto& [request, expected] : cases) {
    auto client = connect();
    client->send(request);
    std::string got = client->answer();
    if (got != expected) failures += request.substr(0, 40) + " => " + got + "\n";
  }
  EXPECT_EQ(failures, "");

  // Requests sent one behind the other on a kept connection are answered in order.
  auto client = connect();
  client->send("GET /1 HTTP/1.1\r\n" + good + "\r\nPOST /2 HTTP/1.1\r\n" + good +
               "Content-Length: 2\r\n\r\nhi");
  std::string first = client->answer();
  EXPECT_EQ(first + "|" + client->answer(), "200 OK GET /1 |200 OK POST /2 hi");
}

TEST_F(HttpServerTest, TheHeadIsScreenedAndItsLengthCheckedBeforeTheBodyIsRead) {
  HttpServerOptions options;
  options.maxBodyBytes = 1000;
  start(options);
  // Each is answered although its body never comes.
  auto stranger = connect();
  stranger->send("POST /a HTTP/1.1\r\nContent-Length: 500\r\n\r\n");
  auto huge = connect();
  huge->send(std::string("POST /a HTTP/1.1\r\n") + kGood + "Content-Length: 1001\r\n\r\n");
  std::string refused = stranger->answer();
  EXPECT_EQ(refused + "|" + huge->answer(),
            "403 Forbidden no token|413 Content Too Large request body too large\n");
  EXPECT_TRUE(stranger->closed());
  EXPECT_TRUE(huge->closed());
  EXPECT_EQ(handled_, 0);

  auto asking = connect();
  asking->send(std::string("POST /a HTTP/1.1\r\n") + kGood +
               "Content-Length: 2\r\nExpect: 100-continue\r\n\r\n");
  EXPECT_EQ(asking->read(), "HTTP/1.1 100 Continue\r\n\r\n");
  asking->send("ok");
  EXPECT_EQ(asking->answer(), "200 OK POST /a ok");
}

TEST_F(HttpServerTest, ASlowHeadOrBodyIsCutOffAtItsDeadlineHoweverSteadilyItDribbles) {
  start();
  auto steady = connect();
  auto dribbler = connect();
  auto slowBody = connect();
  steady->send("GET /a HTTP/1.1\r\n");
  dribbler->send("GET /a HTTP/1.1\r\n");
  slowBody->send(std::string("POST /a HTTP/1.1\r\n") + kGood + "Content-Length: 100\r\n\r\nx");
  sync();  // all three taken up at the clock's start
  for (int second = 0; second < 4; ++second) {
    advance(1s);
    dribbler->send("X: y\r\n");
    slowBody->send("x");
  }
  steady->send(std::string(kGood) + "\r\n");
  EXPECT_EQ(steady->answer(), "200 OK GET /a ");
  sync();
  for (int second = 0; second < 3; ++second) {
    advance(1s);
    dribbler->send("X: y\r\n");
    slowBody->send("x");
  }
  EXPECT_TRUE(dribbler->closed());
  EXPECT_TRUE(slowBody->closed());

  // A kept connection with nothing more to ask is let go after the idle timeout.
  advance(6s);
  EXPECT_TRUE(steady->closed());
  EXPECT_EQ(handled_, 3);  // steady's request and the two syncs
}

TEST_F(HttpServerTest, AnAddressOverItsBoundLosesItsOldestConnectionThatPassedNoScreening) {
  HttpServerOptions options;
  options.maxUnscreenedPerAddress = 2;
  options.maxConnections = 4;
  start(options);
  auto screened = connect();
  screened->send(std::string("GET /a HTTP/1.1\r\n") + kGood + "\r\n");
  ASSERT_EQ(screened->answer(), "200 OK GET /a ");
  auto oldest = connect();
  auto older = connect();
  ASSERT_TRUE(eventually([&] { return server_->connectionCount() == 3; }));
  auto newest = connect();
  EXPECT_TRUE(oldest->closed());
  std::string answers;
  for (RawClient* client : {screened.get(), older.get(), newest.get()}) {
    client->send(std::string("GET /b HTTP/1.1\r\n") + kGood + "\r\n");
    answers += client->answer() + "|";
  }
  EXPECT_EQ(answers, "200 OK GET /b |200 OK GET /b |200 OK GET /b |");

  // Every connection passed the screening: at the global bound a newcomer is turned away.
  auto fourth = connect();
  fourth->send(std::string("GET /c HTTP/1.1\r\n") + kGood + "\r\n");
  ASSERT_EQ(fourth->answer(), "200 OK GET /c ");
  auto fifth = connect();
  EXPECT_TRUE(fifth->closed());
}

TEST_F(HttpServerTest, AStreamSendsAsItIsGivenEndsCleanlyAndIsDroppedWhenItsClientTakesNothing) {
  HttpServerOptions options;
  options.maxStreamBuffer = 40 << 20;
  start(options);
  auto reader = connect();
  std::shared_ptr<HttpStream> stream = openStream(*reader);
  ASSERT_TRUE(stream->send("hello"));
  EXPECT_EQ(reader->read("hello\r\n"), "5\r\nhello\r\n");
  stream->end();
  EXPECT_EQ(reader->read("0\r\n\r\n"), "0\r\n\r\n");
  EXPECT_TRUE(reader->closed());
  EXPECT_TRUE(eventually([&] { return stream->closed(); }));

  // More than the connection's buffers hold, never read: dropped at the drain deadline.
  auto stalled = connect();
  std::shared_ptr<HttpStream> blocked = openStream(*stalled);
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(blocked->send(std::string(1 << 20, 'x')));
  sync();
  advance(10s);
  sync();
  EXPECT_FALSE(blocked->closed());
  advance(10s);
  EXPECT_TRUE(eventually([&] { return blocked->closed(); }));
  EXPECT_FALSE(blocked->send("more"));

  // Far more than the stream may hold: dropped at once.
  auto flooded = connect();
  std::shared_ptr<HttpStream> flood = openStream(*flooded);
  for (int i = 0; i < 64 && flood->send(std::string(1 << 20, 'x')); ++i) {
  }
  EXPECT_TRUE(eventually([&] { return flood->closed(); }));
}

}  // namespace
}  // namespace quillbox::web
