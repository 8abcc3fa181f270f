#include "platform/web/http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "platform/temp_folder_test_support.h"
#include "platform/web/http_client_test_support.h"
#include "platform/web/tls_transport.h"

namespace quillbox::web {
namespace {

using namespace std::chrono_literals;

constexpr const char* kGood = "Cookie: t=good\r\n";
constexpr const char* kUpgrade =
    "Host: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";

class HttpServerTest : public ::testing::Test {
 protected:
  // The cookie t=good is the owner's credential, "Authorization: dev" a device's (bodies up to 2000
  // bytes); /open/ is answered to anyone; the rest is refused. Answers say what was asked ("secure"
  // first over TLS, a body past 1000 bytes by its size). /socket answers with a WebSocket that the
  // test then holds, which echoes what it is sent.
  void start(const std::function<void(HttpServerOptions&)>& set = [](auto&) {}) {
    HttpServerOptions options;
    set(options);
    options.screen = [](const HttpRequest& request) {
      if (request.header("COOKIE") == "t=good") return Screening::as(Standing::owner);
      if (request.header("Authorization") == "dev") return Screening::as(Standing::device, 2000);
      if (request.path.rfind("/open/", 0) == 0) return Screening::as(Standing::stranger);
      return Screening::refuse(HttpResponse::text(403, "no token"));
    };
    options.handle = [this](const HttpRequest& request) {
      ++handled_;
      if (request.path.find("/socket") == std::string::npos) {
        const std::string& body = request.body;
        return HttpResponse::text(200, (request.secure ? "secure " : "") + request.method + " " +
                                           request.path + " " +
                                           (body.size() > 1000 ? std::to_string(body.size()) : body) +
                                           request.param("q").value_or(""));
      }
      HttpResponse response;
      response.socket = std::make_shared<HttpSocket>();
      response.protocol = "echo";
      response.socket->onMessage = [socket =
                                        std::weak_ptr<HttpSocket>(response.socket)](std::string message) {
        if (auto held = socket.lock()) held->send("echo " + message);
      };
      if (request.upgrade) sockets_.set_value(response.socket);
      return response;
    };
    server_ = std::make_unique<HttpServer>(std::move(options));
    ASSERT_TRUE(server_->start().ok());
  }
  // A connection of its own that first sends sent.
  std::unique_ptr<RawClient> connect(const std::string& sent = {}) {
    return std::make_unique<RawClient>(server_->port(), sent);
  }
  // The answer to one request on a connection of its own.
  std::string ask(const std::string& request) { return RawClient(server_->port()).ask(request); }
  // A connection the owner's request has been answered on.
  std::unique_ptr<RawClient> owner() {
    auto client = connect();
    EXPECT_EQ(client->ask(std::string("GET /a HTTP/1.1\r\n") + kGood + "\r\n"), "200 OK GET /a ");
    return client;
  }
  // Opens a socket on a connection of its own: both, once the upgrade's answer has arrived.
  std::pair<std::unique_ptr<RawClient>, std::shared_ptr<HttpSocket>> openSocket() {
    sockets_ = {};
    auto client = connect(std::string("GET /socket HTTP/1.1\r\n") + kGood + kUpgrade);
    EXPECT_NE(client->read().find("101 Switching Protocols"), std::string::npos);
    return {std::move(client), sockets_.get_future().get()};
  }
  template <class F>
  static bool eventually(F check) {
    for (int i = 0; i < 2000 && !check(); ++i) std::this_thread::sleep_for(5ms);
    return check();
  }

  // Serves over TLS with a certificate for names that the openssl command made: false when it cannot.
  bool serveTls(const std::string& names) {
    if (!makeCertificate(dir_, names)) return false;
    start([&](auto& o) { o.tls = TlsContext::load(dir_ / "cert.pem", dir_ / "key.pem").value(); });
    return true;
  }
  TempFolder temp_;
  std::filesystem::path dir_ = temp_.path();
  std::atomic<int> handled_{0};
  std::promise<std::shared_ptr<HttpSocket>> sockets_;
  std::unique_ptr<HttpServer> server_;
};

// Bodies are read only for a credential checked on the head, up to what that credential may send.
TEST_F(HttpServerTest, NoBodyIsReadBeforeItsCredentialIsCheckedOnTheHeadAndRequestsAreReadByTheRules) {
  start([](auto& o) { o.maxBodyBytes = 1000; });
  // Strangers send their bodies at once, before any answer: they get one, or a reset.
  for (auto [request, expected] : std::vector<std::pair<std::string, std::string>>{
           {"PUT /x HTTP/1.1\r\nAuthorization: made-up\r\nContent-Length: 4194304\r\n\r\n" +
                std::string(65536, 'x'),
            "403 Forbidden no token"},
           {"POST /open/a HTTP/1.1\r\nContent-Length: 500\r\n\r\n" + std::string(500, 'o'),
            "200 OK POST /open/a "}}) {
    RawClient client(server_->port());
    const std::string got = client.ask(request);
    EXPECT_TRUE((got == expected || got == "closed") && client.closed()) << got;
  }
  EXPECT_EQ(server_->bytesPastHeads(), 0u);
  auto device = connect(
      "PUT /d HTTP/1.1\r\nAuthorization: dev\r\nContent-Length: 1500\r\nExpect: 100-continue\r\n\r\n");
  EXPECT_EQ(device->read(), "HTTP/1.1 100 Continue\r\n\r\n");
  EXPECT_EQ(device->ask(std::string(1500, 'd')), "200 OK PUT /d 1500");
  EXPECT_EQ(server_->bytesPastHeads(), 1500u);

  const std::string good = kGood, malformed = "400 Bad Request the request is malformed\n";
  std::vector<std::pair<std::string, std::string>> cases = {
      {"GET /a%20b?q=x+y%21 HTTP/1.1\r\n" + good + "\r\n", "200 OK GET /a b x y!"},
      {"POST /p HTTP/1.0\r\n" + good + "Content-Length: 5\r\n\r\nhello", "200 OK POST /p hello"},
      {"GET /a HTTP/1.1\r\nCookie: t=bad\r\n\r\n", "403 Forbidden no token"},
      {"POST /a HTTP/1.1\r\n" + good + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", malformed},
      {"POST /a HTTP/1.1\r\n" + good + "Content-Length: -1\r\n\r\n", malformed},
      {"POST /a HTTP/1.1\r\n" + good + "Content-Length: 1001\r\n\r\n",
       "413 Payload Too Large request body too large\n"},
      {"POST /a HTTP/1.1\r\n" + good + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
       "411 Length Required send the body with a Content-Length\n"},
      {"GET /a HTTP/1.1\r\n" + good + "X-Big: " + std::string(20000, 'x') + "\r\n\r\n",
       "431 Request Header Fields Too Large the request's head is too large\n"}};
  for (const char* line :
       {"GET /a HTTP/2.0", "GET http://x/a HTTP/1.1", "GET /a%zz HTTP/1.1", "GET /a%00 HTTP/1.1"})
    cases.emplace_back(line + ("\r\n" + good + "\r\n"), malformed);
  for (const auto& [request, expected] : cases) EXPECT_EQ(ask(request), expected) << request.substr(0, 40);
  // Requests sent one behind the other on a kept connection are answered in order.
  auto client = connect("GET /1 HTTP/1.1\r\n" + good + "\r\nPOST /2 HTTP/1.1\r\n" + good +
                        "Content-Length: 2\r\n\r\nhi");
  std::string first = client->answer();
  EXPECT_EQ(first + "|" + client->answer(), "200 OK GET /1 |200 OK POST /2 hi");
}

TEST_F(HttpServerTest, ASlowHeadBodyOrPauseIsCutOffAtItsDeadline) {
  start([](auto& o) { o.headTimeout = o.bodyTimeout = o.idleTimeout = 200ms; });
  auto slowHead = connect("GET /a HTTP/1.1\r\n");
  auto slowBody = connect(std::string("POST /a HTTP/1.1\r\n") + kGood + "Content-Length: 100\r\n\r\nx");
  auto paused = owner();
  EXPECT_EQ(std::to_string(slowHead->closed()) + std::to_string(slowBody->closed()) +
                std::to_string(paused->closed()),
            "111");
  EXPECT_EQ(handled_, 1);
}

// The owner and the devices always find a slot: connections that showed no credential make way,
// the oldest first, and only checked connections keep a newcomer out.
TEST_F(HttpServerTest, ConnectionsThatShowedNoCredentialMakeWayOldestFirst) {
  start([](auto& o) { o.maxConnections = 4, o.maxUnchecked = 2; });
  auto first = owner();
  auto silentA = connect();
  auto silentB = connect();
  ASSERT_TRUE(eventually([&] { return server_->connectionCount() == 3; }));
  auto silentC = connect();
  EXPECT_TRUE(silentA->closed());
  auto second = owner();  // B makes way for it
  EXPECT_TRUE(silentB->closed());
  auto third = owner();
  auto fourth = owner();  // the last slot: C makes way
  EXPECT_TRUE(silentC->closed());
  auto fifth = connect();
  EXPECT_TRUE(fifth->closed());
  for (RawClient* client : {first.get(), second.get(), third.get(), fourth.get()})
    EXPECT_EQ(client->ask(std::string("GET /b HTTP/1.1\r\n") + kGood + "\r\n"), "200 OK GET /b ");

  // One address holds only so many of them.
  start([](auto& o) { o.maxConnections = 4, o.maxUnchecked = 2, o.maxUnscreenedPerAddress = 1; });
  auto oldest = connect();
  ASSERT_TRUE(eventually([&] { return server_->connectionCount() == 1; }));
  auto newest = connect();
  EXPECT_TRUE(oldest->closed());
}

TEST_F(HttpServerTest, ASocketCarriesMessagesBothWaysEndsCleanlyAndIsDroppedWhenItsClientTakesNothing) {
  start([](auto& o) { o.drainTimeout = 300ms, o.maxSocketBuffer = 40 << 20; });
  // Only the owner's or a device's request that asks for a WebSocket gets one.
  EXPECT_EQ(ask(std::string("GET /socket HTTP/1.1\r\n") + kGood + "\r\n").substr(0, 3) + " " +
                ask(std::string("GET /open/socket HTTP/1.1\r\n") + kUpgrade).substr(0, 3),
            "400 400");
  auto [reader, socket] = openSocket();
  ASSERT_TRUE(socket->send("hello"));
  EXPECT_EQ(reader->read("hello"), "\x81\x05hello");
  reader->send(std::string("\x81\x82\0\0\0\0hi", 8));  // a masked text frame
  EXPECT_EQ(reader->read("echo hi"), std::string("\x81\x07") + "echo hi");
  socket->end();
  EXPECT_EQ(reader->read("\x03\xe8"), "\x88\x02\x03\xe8");  // a clean close, answered
  reader->send(std::string("\x88\x82\0\0\0\0\x03\xe8", 8));
  EXPECT_TRUE(reader->closed());
  reader.reset();
  EXPECT_TRUE(eventually([&] { return socket->closed(); }));

  // More than the connection's buffers hold, never read: dropped at the drain deadline.
  auto [stalled, blocked] = openSocket();
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(blocked->send(std::string(1 << 20, 'x')));
  EXPECT_TRUE(eventually([&] { return blocked->closed(); }));
  EXPECT_FALSE(blocked->send("more"));

  // Far more than the socket may hold: dropped at once.
  start([](auto& o) { o.drainTimeout = 60s, o.maxSocketBuffer = 40 << 20; });
  auto [flooded, flood] = openSocket();
  for (int i = 0; i < 64 && flood->send(std::string(1 << 20, 'x')); ++i) continue;
  EXPECT_TRUE(eventually([&] { return flood->closed(); }));
}

// Only a certificate for this address carries bodies, and only with its own key.
TEST_F(HttpServerTest, OverTlsOnlyACertificateForThisAddressCarriesBodiesAndOnlyWithItsOwnKey) {
  if (!serveTls("IP:127.0.0.1")) GTEST_SKIP() << "the openssl command cannot make a certificate";
  const HttpsHeaders cookie = {{"Cookie", "t=good"}};
  auto post = [&](const std::string& body, const char* trusted) {
    HttpsReply reply = fetch(server_->port(), "POST", "/", cookie, body, (dir_ / trusted).string());
    return std::to_string(reply.status) + " " + reply.body + "|";
  };
  std::string said = post(std::string(3 << 20, 'x'), "cert.pem");
  std::filesystem::copy_file(dir_ / "cert.pem", dir_ / "first.pem");
  serveTls("IP:127.0.0.1");  // this address's name, but not the certificate the client trusts
  said += post("x", "first.pem") +
          std::to_string(TlsContext::load(dir_ / "first.pem", dir_ / "key.pem").ok()) +
          std::to_string(TlsContext::load(dir_ / "missing.pem", dir_ / "key.pem").ok()) + "|";
  serveTls("DNS:elsewhere.example");
  EXPECT_EQ(said + post("x", "cert.pem"), "200 secure POST / 3145728|0 |00|0 |");
}

}  // namespace
}  // namespace quillbox::web
