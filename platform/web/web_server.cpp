#include "platform/web/web_server.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/page/web_events.h"
#include "platform/page/web_json.h"
#include "platform/page/web_tree.h"
#include "platform/web/browser_windows.h"
#include "platform/web/web_assets.h"

namespace quillbox::web {

namespace {

HttpResponse refusal(int status, std::string_view message) {
  return HttpResponse::text(status, std::string(message) + "\n");
}

// How an event went, as its socket is told: {"answer": seq, "status": S} and "error" when it failed.
std::string answerJson(std::uint64_t seq, int status, std::string_view error) {
  std::string body = "{\"answer\":" + std::to_string(seq) + ",\"status\":" + std::to_string(status);
  if (!error.empty()) {
    body += ",\"error\":";
    appendJsonString(body, error);
  }
  body += '}';
  return body;
}

// A file of the page. The device app's come with their own policy (its worker compiles the app's
// module) and may be kept: the browser asks again each time, and is told when they have not changed.
HttpResponse serveAsset(const Asset& asset, const HttpRequest& req) {
  if (asset.absent) return refusal(404, "this server was built without the device app");
  if (!asset.device) return HttpResponse::text(200, std::string(asset.body), asset.contentType);
  const std::string tag = "\"" + std::string(assetsVersion()) + "\"";
  HttpResponse response;
  if (req.header("If-None-Match") == tag) {
    response.status = 304;
  } else {
    response = HttpResponse::text(200, std::string(asset.body), asset.contentType);
  }
  response.headers.emplace_back("Content-Security-Policy", std::string(kDeviceContentSecurityPolicy));
  response.headers.emplace_back("Cache-Control", "no-cache");
  response.headers.emplace_back("ETag", tag);
  return response;
}

}  // namespace

struct WebServer::Impl {
  Impl(WebServerOptions o, MainQueue& q)
      : options(std::move(o)),
        queue(q),
        guard(options.listen.host, options.listen.port, options.token, options.machineNames,
              options.publicOrigins),
        windows(options.makeWindow, options.maxWindows, options.maxIdleWindows) {}

  WebServerOptions options;
  MainQueue& queue;
  RequestGuard guard;  // set before the first request, then only read
  std::unique_ptr<HttpServer> http;
  std::thread ticker;
  std::atomic<int> port{0};
  std::atomic<bool> stopping{false};
  std::atomic<bool> pollQueued{false};
  bool owedQueued = false;  // main queue only: a turn that sends the rows a tree held back waits
  std::mutex tickMutex;
  std::condition_variable tickWake;
  bool started = false;

  // Main queue only.
  BrowserWindows windows;
  std::vector<std::shared_ptr<Channel>> channels;
  std::uint64_t lastGeneration = 0;
  std::string status;

  // Network thread:
  Screening screen(const HttpRequest& req) const;
  // Worker threads:
  HttpResponse handle(const HttpRequest& req);
  HttpResponse openSocket(const HttpRequest& req);
  void runEvent(BrowserWindow& target, const ClientEvent& event, std::string& answer);

  // Main queue:
  void sendChanges();
  void poll();
  void closeAll();
};

WebServer::WebServer(WebServerOptions options, MainQueue& queue)
    : impl_(std::make_unique<Impl>(std::move(options), queue)) {}

WebServer::~WebServer() {
  stop();
  // The windows go on the thread that destroys the server, after every thread has ended.
  impl_->windows.clear();
}

int WebServer::port() const { return impl_->port.load(); }

Status WebServer::start() {
  Impl& s = *impl_;
  if (s.started) return Status::Error("the server has already started");
  if (s.options.token.empty()) return Status::Error("the server needs a token");
  HttpServerOptions http = s.options.http;
  http.host = s.options.listen.host;
  http.port = s.options.listen.port;
  http.screen = [&s](const HttpRequest& req) { return s.screen(req); };
  http.handle = [&s](const HttpRequest& req) { return s.handle(req); };
  http.commonHeaders = {{"Content-Security-Policy", std::string(kContentSecurityPolicy)},
                        {"X-Content-Type-Options", "nosniff"},
                        {"Referrer-Policy", "no-referrer"},
                        {"X-Frame-Options", "DENY"},
                        {"Cache-Control", "no-store"}};
  s.http = std::make_unique<HttpServer>(std::move(http));
  if (Status bound = s.http->listen(); !bound.ok()) return bound;
  s.port = s.http->port();
  s.guard = RequestGuard(s.options.listen.host, s.port, s.options.token, s.options.machineNames,
                         s.options.publicOrigins);
  if (Status serving = s.http->start(); !serving.ok()) return serving;
  s.started = true;
  s.ticker = std::thread([&s] {
    std::unique_lock<std::mutex> lock(s.tickMutex);
    while (!s.stopping) {
      s.tickWake.wait_for(lock, s.options.pollInterval, [&] { return s.stopping.load(); });
      if (s.stopping) break;
      if (!s.pollQueued.exchange(true)) {
        s.queue.post([&s] {
          s.pollQueued = false;
          if (!s.stopping) s.poll();
        });
      }
    }
  });
  return Status::Ok();
}

void WebServer::stop() {
  Impl& s = *impl_;
  if (!s.started || s.stopping.exchange(true)) return;
  { std::lock_guard<std::mutex> guard(s.tickMutex); }
  s.tickWake.notify_all();
  if (s.ticker.joinable()) s.ticker.join();
  // Every socket ends cleanly; the front sends their last messages before it closes.
  s.queue.postAndWait([&s] { s.closeAll(); });
  s.http->stop();
  // Work posted before this point has run once this returns (or the queue has stopped).
  s.queue.postAndWait([] {});
}

std::size_t WebServer::windowCount() {
  std::size_t count = 0;
  impl_->queue.postAndWait([&] { count = impl_->windows.size(); });
  return count;
}

void WebServer::Impl::closeAll() {
  for (auto& channel : channels) channel->socket->end();
}

Screening WebServer::Impl::screen(const HttpRequest& req) const {
  if (options.cloud && CloudEndpoint::serves(req.path)) return options.cloud->screen(req);
  const std::string_view host = req.header("Host");
  if (!guard.hostAllowed(host))
    return Screening::refuse(refusal(403, "this server does not answer to that host name"));
  if (req.method == "GET" && req.path == "/") {
    if (std::optional<std::string> token = req.param("token")) {
      if (!guard.tokenMatches(*token))
        return Screening::refuse(refusal(403, "this address holds a token that is not this app's"));
      // An address of the older form: the token moves after '#', which no browser sends on.
      HttpResponse moved;
      moved.status = 303;
      std::string location = "/";
      Idiom idiom{};
      std::optional<std::string> wanted = req.param("idiom");
      if (wanted && parseIdiom(*wanted, &idiom)) location += "?idiom=" + *wanted;
      moved.headers.emplace_back("Location", location + "#token=" + *token);
      return Screening::refuse(std::move(moved));
    }
  }
  // The page's files and the device app's hold no lists: they are served without the token.
  if (req.method == "GET" && findAsset(req.path) != nullptr) return Screening::as(Standing::stranger);
  if (req.path != "/api/socket" || !guard.tokenMatches(socketToken(req.header("Sec-WebSocket-Protocol")))) {
    return Screening::refuse(refusal(403, "open the address that `quillbox serve` printed, with its token"));
  }
  if (!guard.isPublicOrigin(req.header("Origin")) &&
      !RequestGuard::originAllowed(req.header("Origin"), host, req.header("Sec-Fetch-Site"), req.secure)) {
    return Screening::refuse(refusal(403, "requests from other sites are refused"));
  }
  return Screening::as(Standing::owner);
}

HttpResponse WebServer::Impl::handle(const HttpRequest& req) {
  if (options.cloud && CloudEndpoint::serves(req.path)) return options.cloud->handle(req);
  if (req.method == "GET") {
    if (req.path == "/api/socket") return openSocket(req);
    if (const Asset* found = findAsset(req.path)) return serveAsset(*found, req);
  }
  return refusal(404, "not found");
}

HttpResponse WebServer::Impl::openSocket(const HttpRequest& req) {
  if (!req.upgrade) return refusal(400, "this address is the page's WebSocket");
  Idiom idiom = options.defaultIdiom;
  std::optional<std::string> asked = req.param("idiom");
  if (asked && !parseIdiom(*asked, &idiom)) return refusal(400, "idiom is phone or pad");
  const std::string wanted = req.param("window").value_or("");
  auto channel = std::make_shared<Channel>();
  channel->socket = std::make_shared<HttpSocket>();
  std::string error;
  std::string windowId;
  bool ran = queue.postAndWait([&] {
    if (stopping) {
      error = "the app is stopping";
      return;
    }
    std::shared_ptr<BrowserWindow> window = windows.takeUp(wanted, idiom, error);
    if (!window) return;
    windowId = window->id;
    windows.attach(*window, channel);
    channels.push_back(channel);
    sendChanges();
  });
  if (!ran || !error.empty()) return refusal(503, ran ? error : "the app is stopping");
  // Each message is one event of this socket's window, run in the order they came.
  channel->socket->onMessage = [this, weak = std::weak_ptr<Channel>(channel), windowId](std::string text) {
    Result<ClientEvent> parsed = parseClientEvent(text);
    std::string answer;
    (void)queue.postAndWait([&] {
      std::shared_ptr<Channel> live = weak.lock();
      BrowserWindow* target = windows.find(windowId);
      if (!live || target == nullptr || target->channel != live) return;  // another tab took it up
      if (!parsed) {
        answer = answerJson(0, 400, parsed.status().message());
      } else {
        runEvent(*target, parsed.value(), answer);
      }
      if (!answer.empty()) (void)live->socket->send(std::move(answer));
    });
  };
  HttpResponse response;
  response.socket = channel->socket;
  response.protocol = std::string(kSocketProtocol);
  return response;
}

void WebServer::Impl::poll() {
  if (options.tick) options.tick();
  // Windows whose browser stayed away too long are closed.
  Clock::time_point now = Clock::now();
  windows.closeIdle(now, options.keepIdle);
  if (options.store) {
    std::uint64_t generation = options.store->generation();
    if (generation != lastGeneration) {
      lastGeneration = generation;
      windows.afterEvent(nullptr);
    }
  }
  std::string line = options.statusLine ? options.statusLine() : std::string();
  if (line != status) {
    status = std::move(line);
    windows.markAllChanged();
  }
  sendChanges();
  std::erase_if(channels, [](const std::shared_ptr<Channel>& channel) { return !channel->open(); });
}

// Runs one event of the window's page; answer is what its socket is told after the tree.
void WebServer::Impl::runEvent(BrowserWindow& target, const ClientEvent& event, std::string& answer) {
  answer = answerJson(event.seq, 204, "");
  if (event.seq != 0 && event.seq <= target.ack) return;  // already run
  target.ack = event.seq;
  if (event.type == ClientEvent::Type::viewport) {
    target.mirror.setViewport(event.id, event.from, event.to);
    target.dirty = true;
    sendChanges();
    return;
  }
  if (event.type == ClientEvent::Type::attach || event.type == ClientEvent::Type::detach) {
    answer = answerJson(event.seq, 400, "a socket carries one window");
    return;
  }
  // The tree the person saw.
  Status applied = applyClientEvent(*target.window, event, target.treeSeenAt(event.rev));
  if (!applied.ok()) answer = answerJson(event.seq, statusForFailure(applied), applied.message());
  windows.afterEvent(&target);
  sendChanges();
}

// Each window is sent its tree's change. A tree brings a screen's worth of new rows at most, so that
// the rows in view are drawn first; the rest follow on a later turn, after the event's answer and
// whatever came meanwhile.
void WebServer::Impl::sendChanges() {
  if (!windows.sendChanges(status) || owedQueued) return;
  owedQueued = true;
  queue.post([this] {
    owedQueued = false;
    if (!stopping) sendChanges();
  });
}

}  // namespace quillbox::web
