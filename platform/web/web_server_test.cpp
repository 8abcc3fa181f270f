#include "platform/web/web_server.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "platform/sync/cloud_store.h"
#include "platform/temp_folder_test_support.h"
#include "platform/view/window.h"
#include "platform/web/browser_windows.h"
#include "platform/web/http_client_test_support.h"
#include "platform/web/web_assets.h"
#include "screens/notes/notes_view.h"

namespace quillbox::web {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

constexpr const char* kNoteField = "/notes/0/0/0/0";
constexpr const char* kNoteRows = "/notes/0/1/1";
const std::string kToken(64, 'c');

// A page's socket: the trees it has been sent, kept by id as a browser keeps them, and
// the answers to its events. Read on the test's thread: each wait runs the socket's reads until
// what is waited for has come.
class Socket {
 public:
  Socket(int port, const std::string& query, const HttpsHeaders& headers = {}) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    ws_.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
      request.set(http::field::sec_websocket_protocol, "quillbox, quillbox.token." + kToken);
      request.set(http::field::origin, "http://" + host);
      for (const auto& [name, value] : headers) request.set(name, value);  // Host and protocols too
    }));
    ws_.next_layer().connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    websocket::response_type answer;
    std::optional<boost::system::error_code> done;
    ws_.async_handshake(answer, host, "/api/socket?" + query,
                        [&](boost::system::error_code ec) { done = ec; });
    ended = !until([&] { return done.has_value(); }) || done->failed();
    status = ended ? static_cast<int>(answer.result_int()) : 101;
    if (!ended) read();
  }

  // Sends an event's text and waits for its answer: "204", or the status and the error.
  std::string sendText(const std::string& text) {
    bool written = false;
    ws_.async_write(asio::buffer(text), [&](boost::system::error_code, std::size_t) { written = true; });
    return until([&] { return written && !answer_.empty(); }) ? std::exchange(answer_, "") : "closed";
  }

  // Takes messages until done() holds; false when it does not in time, or the socket closed.
  bool until(const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      ioc_.restart();  // it stops whenever it runs out of work
      if (ioc_.run_one_until(end) == 0) return done();
    }
    return true;
  }

  // The rows under a list of the window last sent, each as its texts joined by " ", rows by "|".
  std::string rows(const std::string& list) const {
    std::string out;
    for (const json& key : records_.at(list)["c"]) {
      const std::string row = list + "/" + key.get<std::string>();
      std::string texts;
      for (const json& part : records_.at(row)["c"]) {
        const json& shown = records_.at(row + "/" + part.get<std::string>())["p"];
        for (const char* name : {"text", "title"})
          if (shown.contains(name)) texts += (texts.empty() ? "" : " ") + shown[name].get<std::string>();
      }
      out += (out.empty() ? "" : "|") + texts;
    }
    return out;
  }
  std::string value(const std::string& id) const {
    return records_.contains(id) ? records_.at(id)["p"].value("value", "(no value)") : "(none)";
  }

  int status = 0;      // the opening request's answer: 101 when the socket opened
  bool ended = false;  // the server closed it
  std::string window, statusLine;
  std::uint64_t rev = 0;

 private:
  void read() {
    ws_.async_read(buffer_, [this](boost::system::error_code ec, std::size_t) {
      ended = ec.failed();
      if (ended) return;
      json message = json::parse(beast::buffers_to_string(buffer_.data()));
      buffer_.consume(buffer_.size());
      if (message.contains("answer")) {
        answer_ = std::to_string(message["status"].get<int>()) +
                  (message.contains("error") ? " " + message["error"].get<std::string>() : "");
      } else {  // a tree of this socket's window, whole or what changed
        window = message["window"];
        rev = message["rev"];
        statusLine = message["status"];
        if (message["full"]) records_.clear();
        for (const json& record : message["nodes"]) records_[record["i"]] = record;
      }
      read();
    });
  }

  asio::io_context ioc_;
  websocket::stream<beast::tcp_stream> ws_{ioc_};
  beast::flat_buffer buffer_;
  std::string answer_;  // the last event's, until it is taken
  std::map<std::string, json> records_;
};

class WebServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (server_) server_->stop();
    sockets_.clear();
    queue_.stop();
    queueThread_.join();
  }

  // Windows of the notes screen on a tab of its own, keyed as the app keys it.
  void start(std::chrono::milliseconds pollInterval = 50ms, std::vector<std::string> publicOrigins = {}) {
    WebServerOptions options;
    options.listen = {"127.0.0.1", 0};
    options.token = kToken;
    options.store = store_;
    options.pollInterval = pollInterval;
    options.http.maxBodyBytes = 64 * 1024;
    options.statusLine = [this] { return status_; };
    options.publicOrigins = std::move(publicOrigins);
    options.makeWindow = [this](Idiom idiom) {
      Environment env{store_, [this]() -> CloudStore& { return cloud_; }, std::make_shared<Device>(idiom)};
      auto notes = std::make_shared<NotesView>(env);
      Window::Body body = [notes] {
        return TabView({notes->body().tabItem(Label("Notes", "square.and.pencil")).keyed("notes")});
      };
      return std::make_unique<Window>(std::move(body), env.settings, env.device);
    };
    server_ = std::make_unique<WebServer>(std::move(options), queue_);
    ASSERT_TRUE(server_->start().ok());
  }

  // A page's socket for a window (a new one unless the query names one), once its first tree came.
  Socket& open(const std::string& query = "idiom=phone") {
    sockets_.push_back(std::make_unique<Socket>(server_->port(), query));
    Socket& socket = *sockets_.back();
    EXPECT_TRUE(socket.until([&] { return !socket.window.empty(); }));
    return socket;
  }
  // Sends one event of the socket's window: its answer's status.
  int send(Socket& socket, json event) {
    event["window"] = socket.window;
    event["seq"] = ++seq_;
    if (!event.contains("rev")) event["rev"] = socket.rev;
    return std::stoi(socket.sendText(event.dump()));
  }
  void addNote(Socket& socket, const std::string& text) {
    EXPECT_EQ(send(socket, {{"type", "edit"}, {"id", kNoteField}, {"text", text}}), 204);
    EXPECT_EQ(send(socket, {{"type", "submit"}, {"id", kNoteField}}), 204);
  }

  TempFolder temp_;
  std::shared_ptr<SettingsStore> store_ = SettingsStore::open(temp_.path()).value();
  MemoryCloudStore cloud_;
  MainQueue queue_;
  std::thread queueThread_{[this] { queue_.run(); }};
  std::unique_ptr<WebServer> server_;  // declared after what it uses, so it goes first
  std::vector<std::unique_ptr<Socket>> sockets_;
  std::uint64_t seq_ = 0;
  std::string status_;  // the status line, set and read on the main queue
};

// Behind a reverse proxy the page, its socket and /device/ answer to the public origin as well.
TEST_F(WebServerTest, ThePageIsAnyonesButItsSocketNeedsTheTokenThisHostAndThisSite) {
  start(50ms, {"https://notes.example.org"});
  HttpsReply page = fetch(server_->port(), "GET", "/");
  EXPECT_EQ(page.header("content-security-policy"), std::string(kContentSecurityPolicy));
  EXPECT_EQ(page.header("x-content-type-options"), "nosniff");
  EXPECT_NE(page.body.find("<script type=\"module\" src=\"/app.js\"></script>"), std::string::npos);
  EXPECT_EQ(fetch(server_->port(), "GET", "/app.js").header("content-type"),
            "text/javascript; charset=utf-8");

  const std::string port = std::to_string(server_->port());
  const std::pair<std::string, std::string> proxied = {"Host", "notes.example.org"};
  std::string statuses;
  for (const HttpsHeaders& headers :
       {HttpsHeaders{{"Sec-WebSocket-Protocol", "quillbox, quillbox.token."}},
        HttpsHeaders{{"Sec-WebSocket-Protocol", "quillbox, quillbox.token." + std::string(64, 'f')}},
        HttpsHeaders{}, HttpsHeaders{{"Origin", "http://evil.example"}},
        HttpsHeaders{{"Host", "rebound.example:" + port}},
        HttpsHeaders{{"Origin", "http://localhost:" + port}},
        HttpsHeaders{proxied, {"Origin", "https://notes.example.org"}},
        HttpsHeaders{proxied, {"Origin", "https://evil.example"}}})
    statuses += std::to_string(Socket(server_->port(), "idiom=phone", headers).status) + " ";
  HttpsHeaders offered{{"Sec-WebSocket-Protocol", "quillbox.token." + kToken}};
  for (const char* path :
       {"/", "/app.js", "/socket.js", "/?token=wrong", "/api/socket", "/nothing", "/../etc/passwd"})
    statuses += std::to_string(fetch(server_->port(), "GET", path, offered).status) + " ";
  statuses += std::to_string(fetch(server_->port(), "POST", "/api/event", offered, "{}").status) + " ";
  for (const auto& [path, host] :
       std::vector<std::pair<const char*, std::string>>{{"/", "rebound.example:" + port},
                                                        {"/", "notes.example.org"},
                                                        {"/device/", "notes.example.org"},
                                                        {"/", "other.example.org"}})
    statuses += std::to_string(fetch(server_->port(), "GET", path, {{"Host", host}}).status) + " ";
  EXPECT_EQ(statuses, "403 403 101 403 403 403 101 403 200 200 200 403 400 403 403 403 403 200 200 403 ");
  // The device app's files are anyone's: a body that never comes is not waited for.
  RawClient device(server_->port());
  device.send("GET /device/ HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nContent-Length: 100\r\n\r\n");
  EXPECT_EQ(device.answer().substr(0, 3), "200");
  // An address of the older form moves to the new one, its token after '#'.
  HttpsReply visit = fetch(server_->port(), "GET", "/?token=" + kToken + "&idiom=pad");
  EXPECT_EQ(std::to_string(visit.status) + " " + std::string(visit.header("location")) +
                std::string(visit.header("set-cookie")),
            "303 /?idiom=pad#token=" + kToken);

  WebServerOptions options;  // a second server on the same address
  options.listen = {"127.0.0.1", server_->port()};
  options.token = kToken;
  EXPECT_EQ(WebServer(std::move(options), queue_).start().message(),
            "cannot listen on 127.0.0.1:" + port + " (in use, or not an address of this machine)");
}

// Another process deletes a note while the page shows it, and the server has not polled since: a
// tap on the row the person saw is refused, changes nothing, and the page is sent the new rows.
TEST_F(WebServerTest, ATapOnARowThatChangedAfterTheTreeThePersonSawDoesNothing) {
  start(std::chrono::hours(1));
  Socket& phone = open();
  addNote(phone, "keep");
  addNote(phone, "drop");
  ASSERT_TRUE(phone.until([&] { return phone.rows(kNoteRows) == "1 keep|2 drop"; }));
  ASSERT_TRUE(SettingsStore::open(temp_.path()).value()->set("stringNotes", "dropNOTES_SEPARATOR").ok());
  const std::string trash = std::string(kNoteRows) + "/0/3";
  EXPECT_EQ(send(phone, {{"type", "tap"}, {"id", trash}}), 409);
  EXPECT_EQ(store_->get("stringNotes"), "dropNOTES_SEPARATOR");
  ASSERT_TRUE(phone.until([&] { return phone.rows(kNoteRows) == "1 drop"; }));
  EXPECT_EQ(send(phone, {{"type", "tap"}, {"id", trash}, {"rev", 1}}), 409);  // a tree no longer kept
  EXPECT_EQ(send(phone, {{"type", "tap"}, {"id", trash}}), 204);
  EXPECT_EQ(store_->get("stringNotes"), "");
}

// A tree brings a screen's worth of new rows, the rows in view first; the rest of what the page asked
// for follows unasked.
TEST_F(WebServerTest, ALongListComesAScreenOfRowsAtATimeUnasked) {
  std::string notes;
  for (int i = 1; i <= 40; ++i) notes += "nNOTES_SEPARATOR";
  ASSERT_TRUE(store_->set("stringNotes", notes).ok());
  start(std::chrono::hours(1));
  Socket& phone = open();
  EXPECT_TRUE(phone.rows(kNoteRows).ends_with("|24 n"));
  EXPECT_TRUE(phone.until([&] { return phone.rows(kNoteRows).ends_with("|40 n"); }));
}

// Malformed events are refused and the app keeps running; a second socket for the same window takes
// it over with its whole tree, typed text too, and the first one ends; the cloud's trouble is shown in
// every window until it is over.
TEST_F(WebServerTest, MalformedEventsAreRefusedAndAWindowTakenUpAgainGetsItsWholeTree) {
  start();
  Socket& phone = open();
  std::string statuses;
  for (const std::string& text :
       {std::string("not json"), std::string("{}"), std::string("[]"),
        json{{"window", phone.window}, {"seq", 9001}, {"type", "explode"}}.dump(),
        json{{"window", phone.window}, {"seq", 9002}, {"type", "tap"}, {"id", "/nowhere"}}.dump(),
        json{{"window", phone.window}, {"seq", 9003}, {"type", "tab"}, {"index", 9}}.dump()}) {
    statuses += phone.sendText(text) + "|";
  }
  seq_ = 9003;  // events already run are not run again
  addNote(phone, "still here");
  EXPECT_EQ(send(phone, {{"type", "edit"}, {"id", kNoteField}, {"text", "half typed"}}), 204);
  ASSERT_TRUE(phone.until([&] { return phone.value(kNoteField) == "half typed"; }));
  Socket& again = open("window=" + phone.window);
  EXPECT_EQ(again.window + " " + again.rows(kNoteRows) + " " + again.value(kNoteField) + " " +
                std::to_string(phone.until([&] { return phone.ended; })) + " " +
                std::to_string(server_->windowCount()),
            phone.window + " 1 still here half typed 1 1");

  Socket& tablet = open("idiom=pad");
  for (const std::string& line : {std::string("Cloud copy not updated: the folder is full"), std::string()}) {
    queue_.post([this, line] { status_ = line; });
    for (Socket* window : {&again, &tablet})
      EXPECT_TRUE(window->until([&] { return window->statusLine == line; }));
  }
  statuses += again.sendText(std::string(70 * 1024, ' '));  // past the body limit: the socket closes
  EXPECT_EQ(
      statuses,
      "400 the event is not JSON text|400 missing \"window\"|400 the event is not a JSON object|400 unknown "
      "event type|409 nothing to tap at /nowhere|409 no tab 10|closed");
  EXPECT_EQ(open("window=" + phone.window).rows(kNoteRows), "1 still here");
}

// Windows of one text over a store of their own, at most two with a stream and one more away.
class BrowserWindowsTest : public ::testing::Test {
 protected:
  // A new window, attached to a socket of its own: its id, or why not.
  std::string openAttached() {
    std::string error;
    auto made = windows_.open(Idiom::phone, error);
    if (made) windows_.attach(*made, std::make_shared<Channel>(Channel{std::make_shared<HttpSocket>()}));
    return made ? made->id : error;
  }
  void away(const std::string& id) { windows_.detach(*windows_.find(id)); }
  bool open(const std::string& id) { return windows_.find(id) != nullptr; }

  TempFolder temp_;
  std::shared_ptr<SettingsStore> store_ = SettingsStore::open(temp_.path()).value();
  std::shared_ptr<Device> device_ = std::make_shared<Device>(Idiom::phone);
  BrowserWindows windows_{
      [this](Idiom) { return std::make_unique<Window>([] { return Text("x", true); }, store_, device_); }, 2,
      1};
};

TEST_F(BrowserWindowsTest, TheWindowAwayLongestMakesRoomAndTooManyWithAStreamAreRefused) {
  const std::string a = openAttached(), b = openAttached();
  ASSERT_NE(a, b);
  std::string seen = openAttached();
  away(b);
  const std::string c = openAttached();
  seen += " " + std::to_string(windows_.size());
  away(a);
  const std::string d = openAttached();  // b has been away longest
  seen += " " + std::to_string(open(a)) + std::to_string(open(b)) + std::to_string(open(c)) +
          std::to_string(open(d));
  std::string error;
  EXPECT_EQ(windows_.takeUp(a, Idiom::phone, error)->id, a);  // taken up again, not made anew
  seen += windows_.takeUp("gone", Idiom::phone, error) == nullptr ? " | " + error : " | made";
  away(c);  // only windows away longer than the bound are closed
  windows_.closeIdle(Clock::now() + std::chrono::seconds(10), std::chrono::seconds(20));
  seen += " " + std::to_string(windows_.size());
  windows_.closeIdle(Clock::now() + std::chrono::seconds(30), std::chrono::seconds(20));
  seen += " " + std::to_string(open(c)) + std::to_string(open(d));
  EXPECT_EQ(seen, "too many windows are open 3 1011 | too many windows are open 3 01");
}

}  // namespace
}  // namespace quillbox::web
