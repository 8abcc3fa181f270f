#include "platform/web/web_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/sync/cloud_store.h"
#include "platform/view/window.h"
#include "platform/web/http_client_test_support.h"
#include "platform/web/web_assets.h"
#include "screens/notes/notes_view.h"

namespace quillbox::web {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kNoteField = "/notes/0/0/0/0";
constexpr const char* kNoteSearch = "/notes/0/1/0/0";
constexpr const char* kNoteRows = "/notes/0/1/1";
const std::string kToken(64, 'c');

// One event stream, read on a thread of its own, and the trees it has been sent so far, kept by
// window and id as a browser keeps them.
class Stream {
 public:
  Stream(int port, std::string query, TestHeaders headers = {}) {
    thread_ = std::thread([this, port, query, headers] {
      TestHttpClient client(port);
      int status = client
                       .ask("GET", "/api/stream?" + query, "", headers,
                            [this](std::string_view data) {
                              std::lock_guard<std::mutex> guard(mutex_);
                              buffer_.append(data);
                              for (std::size_t end; (end = buffer_.find("\n\n")) != std::string::npos;) {
                                std::string message = buffer_.substr(0, end);
                                buffer_.erase(0, end + 2);
                                if (message.rfind("event: tree\ndata: ", 0) == 0)
                                  messages_.push_back(json::parse(message.substr(18)));
                                if (message.rfind("event: hello\ndata: ", 0) == 0)
                                  id_ = json::parse(message.substr(19))["stream"];
                              }
                              wake_.notify_all();
                              return !leaving_.load();
                            })
                       .status;
      std::lock_guard<std::mutex> guard(mutex_);
      status_ = status;
      ended_ = true;
      wake_.notify_all();
    });
  }
  ~Stream() { thread_.join(); }

  // The browser goes away: the stream is closed at the next message or heartbeat.
  void leave() { leaving_ = true; }

  // Takes the next message into the tree; false when none comes in time.
  bool next(std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wake_.wait_for(lock, timeout, [&] { return !messages_.empty() || ended_; }) || messages_.empty())
      return false;
    json message = std::move(messages_.front());
    messages_.pop_front();
    window_ = message["window"];
    revs_[window_] = message["rev"];
    status_line_ = message["status"];
    auto& records = records_[window_];
    if (message["full"]) records.clear();
    for (json& record : message["nodes"]) records[record["i"]] = record;
    return true;
  }
  // Takes messages until check() holds.
  template <class F>
  bool until(F check, std::chrono::milliseconds timeout = 5s) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!check()) {
      if (!next(
              std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())))
        return false;
    }
    return true;
  }
  int endedWith(std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, timeout, [&] { return ended_; });
    return ended_ ? status_ : 0;
  }

  // The rows under a list of a window (the last one sent), each as its texts joined by " ", rows
  // joined by "|".
  std::string rows(const std::string& list, std::string window = "") const {
    if (window.empty()) window = window_;
    if (records_.count(window) == 0) return "(no window)";
    const auto& records = records_.at(window);
    std::string out;
    auto it = records.find(list);
    if (it == records.end()) return "(no list)";
    for (const auto& key : it->second["c"]) {
      std::string row = list + "/" + key.get<std::string>();
      std::string texts;
      for (const auto& part : records.at(row)["c"]) {
        const json& record = records.at(row + "/" + part.get<std::string>());
        if (record["p"].contains("text"))
          texts += (texts.empty() ? "" : " ") + record["p"]["text"].get<std::string>();
        if (record["p"].contains("title"))
          texts += (texts.empty() ? "" : " ") + record["p"]["title"].get<std::string>();
      }
      out += (out.empty() ? "" : "|") + texts;
    }
    return out;
  }
  std::string value(const std::string& id) const {
    auto it = records_.at(window_).find(id);
    return it == records_.at(window_).end() ? "(none)" : it->second["p"].value("value", "(no value)");
  }

  const std::string& window() const { return window_; }
  std::uint64_t rev(const std::string& window = "") const {
    auto it = revs_.find(window.empty() ? window_ : window);
    return it == revs_.end() ? 0 : it->second;
  }
  // The stream's own id, once its first message has come.
  std::string id() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, 5s, [&] { return !id_.empty() || ended_; });
    return id_;
  }
  const std::string& statusLine() const { return status_line_; }

 private:
  std::thread thread_;
  std::atomic<bool> leaving_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string buffer_;
  std::deque<json> messages_;
  bool ended_ = false;
  int status_ = 0;
  std::map<std::string, std::map<std::string, json>> records_;
  std::map<std::string, std::uint64_t> revs_;
  std::string window_;
  std::string id_;
  std::string status_line_;
};

class WebServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("quillbox-web-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home_);
    store_ = SettingsStore::open(home_).value();
    queueThread_ = std::thread([this] { queue_.run(); });
  }
  void TearDown() override {
    if (server_) server_->stop();
    streams_.clear();  // the streams ended with the server
    queue_.stop();
    queueThread_.join();
    server_.reset();
    std::filesystem::remove_all(home_);
  }

  void start() {
    WebServerOptions options;
    options.listen = {"127.0.0.1", 0};
    options.token = kToken;
    options.store = store_;
    options.pollInterval = pollInterval_;
    options.heartbeat = 1s;
    options.http.maxBodyBytes = 64 * 1024;
    options.statusLine = [this] {
      std::lock_guard<std::mutex> guard(statusMutex_);
      return status_;
    };
    options.keepIdle = keepIdle_;
    options.publicOrigins = publicOrigins_;
    options.makeWindow = [this](Idiom idiom) {
      Environment env{store_, [this]() -> CloudStore& { return cloud_; }, std::make_shared<Device>(idiom)};
      if (makeWindow_) return makeWindow_(idiom);
      // The notes screen on a tab of its own, keyed as the app keys it.
      auto notes = std::make_shared<NotesView>(env);
      Window::Body body = [notes] {
        std::vector<Element> tabs;
        tabs.push_back(notes->body().tabItem(Label("Notes", "square.and.pencil")).keyed("notes"));
        return TabView(std::move(tabs));
      };
      return std::make_unique<Window>(std::move(body), env.settings, env.device);
    };
    server_ = std::make_unique<WebServer>(std::move(options), queue_);
    ASSERT_TRUE(server_->start().ok());
    client_ = std::make_unique<TestHttpClient>(server_->port(), TestHeaders{cookie()});
  }

  // The page's token cookie, as the browser sends it after the first visit.
  std::pair<std::string, std::string> cookie() const {
    return {"Cookie", "quillbox_token_" + std::to_string(server_->port()) + "=" + kToken};
  }

  // A stream of one window; with "" a stream for the windows attached to it.
  Stream& open(const std::string& query = "idiom=phone") {
    streams_.push_back(std::make_unique<Stream>(server_->port(), query, TestHeaders{cookie()}));
    Stream& stream = *streams_.back();
    if (!query.empty()) {
      EXPECT_TRUE(stream.next());
    }
    return stream;
  }

  // Posts one event of the stream's window (or of the window named); the answer's status.
  int send(Stream& stream, json event, const std::string& window = "") {
    return std::stoi(answer(stream, std::move(event), window));
  }
  // The same; the answer's status and body.
  std::string answer(Stream& stream, json event, const std::string& window = "") {
    event["window"] = window.empty() ? stream.window() : window;
    event["seq"] = ++seq_;
    if (!event.contains("rev")) event["rev"] = stream.rev(window);
    TestReply result = client_->post("/api/event", event.dump(), "application/json");
    return std::to_string(result.status) + (result.status < 0 ? "" : " " + result.body);
  }
  // Windows of one field whose submit runs an operation that ends as outcome_ says.
  void serveAFieldWhoseSubmitFails() {
    makeWindow_ = [this](Idiom idiom) {
      auto text = std::make_shared<std::string>();
      Window::Body body = [this, text] {
        Binding binding{"field", [text] { return *text; },
                        [text](const std::string& typed) { *text = typed; }};
        return TextField("Type", std::move(binding)).onSubmit([this] { return outcome_; });
      };
      return std::make_unique<Window>(std::move(body), store_, std::make_shared<Device>(idiom));
    };
  }
  int post(const std::string& body, const TestHeaders& headers = {}, const char* type = "application/json") {
    return client_->post("/api/event", body, type, headers).status;
  }
  void addNote(Stream& stream, const std::string& text) {
    EXPECT_EQ(send(stream, {{"type", "edit"}, {"id", kNoteField}, {"text", text}}), 204);
    EXPECT_EQ(send(stream, {{"type", "submit"}, {"id", kNoteField}}), 204);
  }

  std::filesystem::path home_;
  std::shared_ptr<SettingsStore> store_;
  MemoryCloudStore cloud_;
  MainQueue queue_;
  std::thread queueThread_;
  std::unique_ptr<WebServer> server_;
  std::unique_ptr<TestHttpClient> client_;
  std::vector<std::unique_ptr<Stream>> streams_;
  std::uint64_t seq_ = 0;
  std::mutex statusMutex_;
  std::string status_;
  std::chrono::seconds keepIdle_{900};
  std::vector<std::string> publicOrigins_;
  std::chrono::milliseconds pollInterval_{50};
  std::function<std::unique_ptr<Window>(Idiom)> makeWindow_;
  Status outcome_ = Status::Ok();  // set between events, read by the window on the main queue
};

TEST_F(WebServerTest, ThePageAndItsOwnFilesComeWithAPolicyThatAllowsOnlyThem) {
  start();
  auto page = client_->get("/");
  ASSERT_NE(page.status, -1);
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.header("Content-Security-Policy"), std::string(kContentSecurityPolicy));
  EXPECT_EQ(page.header("X-Content-Type-Options"), "nosniff");
  EXPECT_NE(page.body.find("<script type=\"module\" src=\"/app.js\"></script>"), std::string::npos);
  auto script = client_->get("/app.js");
  EXPECT_EQ(script.header("Content-Type"), "text/javascript; charset=utf-8");
  EXPECT_EQ(client_->get("/../etc/passwd").status, 404);
  EXPECT_EQ(client_->get("/nothing").status, 404);

  WebServerOptions options;  // a second server on the same address
  options.listen = {"127.0.0.1", server_->port()};
  options.token = kToken;
  EXPECT_EQ(WebServer(std::move(options), queue_).start().message(),
            "cannot listen on 127.0.0.1:" + std::to_string(server_->port()) +
                " (in use, or not an address of this machine)");
}

TEST_F(WebServerTest, AWindowIsSentItsWholeTreeThenEachChangeOfItsOwnEvents) {
  start();
  Stream& phone = open();
  EXPECT_EQ(phone.rows(kNoteRows), "");
  addNote(phone, "Buy milk");
  addNote(phone, "https://example.com/a");
  ASSERT_TRUE(phone.until([&] { return phone.rows(kNoteRows) == "1 Buy milk|2 https://example.com/a"; }));
  EXPECT_EQ(phone.value(kNoteField), "");
  EXPECT_EQ(store_->get("stringNotes"), "Buy milkNOTES_SEPARATORhttps://example.com/aNOTES_SEPARATOR");
  EXPECT_EQ(send(phone, {{"type", "edit"}, {"id", kNoteSearch}, {"text", "milk"}}), 204);
  ASSERT_TRUE(phone.until([&] { return phone.rows(kNoteRows) == "1 Buy milk"; }));
}

// Another process deletes a note while the page shows it, and the server has not polled since: a
// tap on the row the person saw is refused, changes nothing, and the page is sent the new rows.
TEST_F(WebServerTest, ATapOnARowThatChangedAfterTheTreeThePersonSawDoesNothing) {
  pollInterval_ = std::chrono::hours(1);
  start();
  Stream& phone = open();
  addNote(phone, "keep");
  addNote(phone, "drop");
  ASSERT_TRUE(phone.until([&] { return phone.rows(kNoteRows) == "1 keep|2 drop"; }));
  ASSERT_TRUE(SettingsStore::open(home_).value()->set("stringNotes", "dropNOTES_SEPARATOR").ok());
  const std::string trash = std::string(kNoteRows) + "/0/3";
  EXPECT_EQ(send(phone, {{"type", "tap"}, {"id", trash}}), 409);
  EXPECT_EQ(store_->get("stringNotes"), "dropNOTES_SEPARATOR");
  ASSERT_TRUE(phone.until([&] { return phone.rows(kNoteRows) == "1 drop"; }));
  EXPECT_EQ(send(phone, {{"type", "tap"}, {"id", trash}, {"rev", 1}}), 409);  // a tree no longer kept
  EXPECT_EQ(send(phone, {{"type", "tap"}, {"id", trash}}), 204);
  EXPECT_EQ(store_->get("stringNotes"), "");
}

TEST_F(WebServerTest, AnEventWhoseOperationFailedSaysWhyAndTheTypedTextStays) {
  serveAFieldWhoseSubmitFails();
  start();
  Stream& window = open();
  ASSERT_EQ(send(window, {{"type", "edit"}, {"id", ""}, {"text", "typed"}}), 204);
  std::string answers;
  for (const Status& outcome :
       {Status::Error("cannot write the settings store: disk full"),
        Status::Busy("another process holds the home"), Status::Conflict("the list changed"), Status::Ok()}) {
    outcome_ = outcome;
    answers += answer(window, {{"type", "submit"}, {"id", ""}}) + "|";
  }
  EXPECT_EQ(answers,
            "503 {\"error\":\"cannot write the settings store: disk full\"}|"
            "503 {\"error\":\"another process holds the home\"}|409 {\"error\":\"the list changed\"}|204 |");
  EXPECT_TRUE(window.until([&] { return window.value("") == "typed"; }));
}

TEST_F(WebServerTest, MalformedEventsAreRefusedAndTheAppKeepsRunning) {
  start();
  Stream& phone = open();
  std::string statuses;
  for (const std::string& body :
       {std::string("not json"), std::string("{}"), std::string("[]"),
        std::string("{\"window\":\"x\",\"seq\":1,\"type\":\"appear\"}"),
        json{{"window", phone.window()}, {"seq", 9001}, {"type", "explode"}}.dump(),
        json{{"window", phone.window()}, {"seq", 9002}, {"type", "tap"}, {"id", "/nowhere"}}.dump(),
        json{{"window", phone.window()}, {"seq", 9003}, {"type", "tab"}, {"index", 9}}.dump()}) {
    statuses += std::to_string(post(body)) + " ";
  }
  statuses += std::to_string(post("{}", {}, "text/plain")) + " ";
  statuses += std::to_string(post(std::string(70 * 1024, ' '))) + " ";
  EXPECT_EQ(statuses, "400 400 400 404 400 409 409 415 413 ");
  seq_ = 9003;  // events already run are not run again
  addNote(phone, "still here");
  EXPECT_TRUE(phone.until([&] { return phone.rows(kNoteRows) == "1 still here"; }));
}

TEST_F(WebServerTest, RequestsWithoutThePortsTokenFromOtherSitesOrForOtherHostNamesAreRefused) {
  start();
  Stream& phone = open();
  json event{{"window", phone.window()}, {"seq", 99}, {"type", "foreground"}};
  std::string statuses;
  statuses += std::to_string(post(event.dump(), {{"Origin", "http://evil.example"}})) + " ";
  statuses += std::to_string(post(event.dump(), {{"Sec-Fetch-Site", "cross-site"}})) + " ";
  statuses +=
      std::to_string(
          client_->get("/", {{"Host", "rebound.example:" + std::to_string(server_->port())}}).status) +
      " ";
  Stream foreign(server_->port(), "idiom=phone", {{"Origin", "http://evil.example"}, cookie()});
  statuses += std::to_string(foreign.endedWith()) + " ";
  std::string origin = "http://127.0.0.1:" + std::to_string(server_->port());
  statuses += std::to_string(post(event.dump(), {{"Origin", origin}, {"Sec-Fetch-Site", "same-origin"}}));
  EXPECT_EQ(statuses, "403 403 403 403 204");

  // Every request needs the port's token cookie, which the first visit trades for the token.
  TestHttpClient bare(server_->port());
  statuses.clear();
  for (const char* path : {"/", "/app.js", "/api/stream?idiom=phone", "/?token=wrong"}) {
    statuses += std::to_string(bare.get(path).status) + " ";
  }
  statuses += std::to_string(bare.post("/api/event", "{}", "application/json").status) + " ";
  // Another app's cookie on another port of the same host.
  statuses += std::to_string(bare.get("/", {{"Cookie", "quillbox_token_1=" + kToken}}).status) + " ";
  EXPECT_EQ(statuses, "403 403 403 403 403 403 ");

  auto visit = bare.get("/?token=" + kToken + "&idiom=pad");
  EXPECT_EQ(visit.status, 303);
  EXPECT_EQ(visit.header("Location"), "/?idiom=pad");
  EXPECT_EQ(visit.header("Set-Cookie"), "quillbox_token_" + std::to_string(server_->port()) + "=" + kToken +
                                            "; HttpOnly; SameSite=Strict; Path=/; Max-Age=31536000");
  EXPECT_EQ(bare.get("/", {cookie()}).status, 200);
}

// The pages of one browser share one stream: each window is attached to it and sent its own trees
// on it. A window detached is sent nothing until it is attached again, with its whole tree; an
// attach to a stream that has gone is refused.
TEST_F(WebServerTest, OneStreamCarriesTheTreesOfEveryWindowAttachedToIt) {
  start();
  Stream& shared = open("");
  const std::string stream = shared.id();
  auto attach = [&](const std::string& window) {
    json event{{"type", "attach"}, {"stream", stream}, {"idiom", "phone"}};
    std::string answered = answer(shared, event, window.empty() ? "-" : window);
    return answered.substr(0, 4) == "200 " ? json::parse(answered.substr(4))["window"].get<std::string>()
                                           : answered;
  };
  const std::string a = attach(""), b = attach("");
  ASSERT_NE(a, b);
  EXPECT_EQ(send(shared, {{"type", "edit"}, {"id", kNoteField}, {"text", "x"}}, a), 204);
  EXPECT_EQ(send(shared, {{"type", "submit"}, {"id", kNoteField}}, a), 204);
  ASSERT_TRUE(
      shared.until([&] { return shared.rows(kNoteRows, a) == "1 x" && shared.rows(kNoteRows, b) == "1 x"; }));

  EXPECT_EQ(send(shared, {{"type", "detach"}}, b), 204);
  EXPECT_EQ(send(shared, {{"type", "edit"}, {"id", kNoteField}, {"text", "y"}}, a), 204);
  EXPECT_EQ(send(shared, {{"type", "submit"}, {"id", kNoteField}}, a), 204);
  // Once a's next message has come, whatever the stream carried before it has been read.
  EXPECT_EQ(send(shared, {{"type", "edit"}, {"id", kNoteSearch}, {"text", "y"}}, a), 204);
  ASSERT_TRUE(shared.until([&] { return shared.rows(kNoteRows, a) == "2 y"; }));
  EXPECT_EQ(shared.rows(kNoteRows, b), "1 x");
  EXPECT_EQ(attach(b), b);
  EXPECT_TRUE(shared.until([&] { return shared.rows(kNoteRows, b) == "1 x|2 y"; }));
  EXPECT_EQ(send(shared, {{"type", "attach"}, {"stream", "gone"}}, a), 404);
}

TEST_F(WebServerTest, AWindowTakenUpAgainGetsItsWholeTreeWithItsTypedText) {
  start();
  std::string window;
  {
    Stream& first = open();
    window = first.window();
    EXPECT_EQ(send(first, {{"type", "edit"}, {"id", kNoteField}, {"text", "half typed"}}), 204);
    ASSERT_TRUE(first.until([&] { return first.value(kNoteField) == "half typed"; }));
    // A second stream for the same window takes it over; the first one ends.
    Stream& second = open("window=" + window);
    EXPECT_EQ(second.window(), window);
    EXPECT_EQ(second.value(kNoteField), "half typed");
    EXPECT_EQ(first.endedWith(), 200);
  }
  EXPECT_EQ(server_->windowCount(), 1u);
}

TEST_F(WebServerTest, TheCloudsTroubleIsShownInEveryWindowUntilItIsOver) {
  start();
  Stream& phone = open();
  Stream& tablet = open("idiom=pad");
  const std::string full = "Cloud copy not updated: the folder is full";
  for (const std::string& line : {full, std::string()}) {
    {
      std::lock_guard<std::mutex> guard(statusMutex_);
      status_ = line;
    }
    EXPECT_TRUE(phone.until([&] { return phone.statusLine() == line; }));
    EXPECT_TRUE(tablet.until([&] { return tablet.statusLine() == line; }));
  }
}

// Connections that show no credential, 300 of each kind, never keep the owner's page out: silent
// ones, the device app's files with a body that never comes, and writes with a made-up token.
TEST_F(WebServerTest, StrangersHoldingEverySlotNeverKeepTheOwnerOut) {
  start();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server_->port()) + "\r\n";
  const std::string heads[] = {"", "GET /device/ HTTP/1.1\r\n" + host + "Content-Length: 100\r\n\r\n",
                               "PUT /cloud/v1/notes HTTP/1.1\r\n" + host + "Authorization: Bearer " +
                                   std::string(64, 'f') + "\r\nContent-Length: 4194304\r\n\r\n"};
  std::vector<int> strangers;
  for (int i = 0; i < 300; ++i) {
    for (const std::string& head : heads) {
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(server_->port()));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      (void)::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
      strangers.push_back(fd);
    }
  }
  Stream& phone = open();
  addNote(phone, "Still mine");
  EXPECT_TRUE(phone.until([&] { return phone.rows(kNoteRows) == "1 Still mine"; }));
  for (int fd : strangers) ::close(fd);
}

// Behind a reverse proxy the page, its events, its stream and /device/ answer to the public origin.
TEST_F(WebServerTest, BehindAProxyThePublicOriginIsTheAppsOwn) {
  publicOrigins_ = {"https://notes.example.org"};
  start();
  Stream& phone = open();
  const std::pair<std::string, std::string> proxied = {"Host", "notes.example.org"};
  json event{{"window", phone.window()}, {"seq", 99}, {"type", "foreground"}};
  auto said = [](int status) { return status == 403 ? std::string("refused ") : std::string("served "); };
  TestHttpClient bare(server_->port());
  std::string statuses = said(client_->get("/", {proxied}).status) +
                         said(bare.get("/device/", {proxied}).status) +
                         said(post(event.dump(), {proxied, {"Origin", "https://notes.example.org"}})) +
                         said(post(event.dump(), {proxied, {"Origin", "https://evil.example"}})) +
                         said(client_->get("/", {{"Host", "other.example.org"}}).status);
  EXPECT_EQ(statuses, "served served served refused refused ");
  Stream remote(server_->port(), "idiom=phone", {cookie(), proxied, {"Origin", "https://notes.example.org"}});
  EXPECT_TRUE(remote.next());
  remote.leave();
}

}  // namespace
}  // namespace quillbox::web
