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

constexpr std::string_view kHeartbeat = ": still here\n\n";

HttpResponse refusal(int status, std::string_view message) {
  return HttpResponse::text(status, std::string(message) + "\n");
}

HttpResponse errorJson(int status, std::string_view message) {
  std::string body = "{\"error\":";
  appendJsonString(body, message);
  body += '}';
  return HttpResponse::text(status, std::move(body), "application/json");
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
  std::string cookieName;
  std::unique_ptr<HttpServer> http;
  std::thread ticker;
  std::atomic<int> port{0};
  std::atomic<bool> stopping{false};
  std::atomic<bool> pollQueued{false};
  std::mutex tickMutex;
  std::condition_variable tickWake;
  bool started = false;

  // Main queue only.
  BrowserWindows windows;
  std::map<std::string, std::shared_ptr<Channel>> channels;
  std::uint64_t lastGeneration = 0;
  std::string status;

  // Network thread:
  Screening screen(const HttpRequest& req) const;
  // Worker threads:
  HttpResponse handle(const HttpRequest& req);
  HttpResponse openStream(const HttpRequest& req);
  HttpResponse runEvent(const HttpRequest& req);

  // Main queue:
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
  s.cookieName = tokenCookieName(s.port);
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
  // Every stream ends cleanly; the front sends their last bytes before it closes.
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
  for (auto& [id, channel] : channels) channel->http->end();
}

Screening WebServer::Impl::screen(const HttpRequest& req) const {
  if (options.cloud && CloudEndpoint::serves(req.path)) return options.cloud->screen(req);
  const std::string_view host = req.header("Host");
  if (!guard.hostAllowed(host))
    return Screening::refuse(refusal(403, "this server does not answer to that host name"));
  // The device app's files hold no lists: a paired browser fetches them without the page's token.
  if (req.method == "GET" && req.path.rfind("/device/", 0) == 0) return Screening::as(Standing::stranger);
  if (req.method == "GET" && req.path == "/") {
    if (std::optional<std::string> token = req.param("token")) {
      if (!guard.tokenMatches(*token))
        return Screening::refuse(refusal(403, "this address holds a token that is not this app's"));
      // The first visit trades the token in the printed address for a cookie, and drops it from
      // the address bar.
      HttpResponse trade;
      trade.status = 303;
      trade.headers.emplace_back("Set-Cookie", cookieName + "=" + *token +
                                                   "; HttpOnly; SameSite=Strict; Path=/; Max-Age=31536000" +
                                                   (req.secure ? "; Secure" : ""));
      std::string location = "/";
      Idiom idiom{};
      std::optional<std::string> wanted = req.param("idiom");
      if (wanted && parseIdiom(*wanted, &idiom)) location += "?idiom=" + *wanted;
      trade.headers.emplace_back("Location", location);
      return Screening::refuse(std::move(trade));
    }
  }
  if (!guard.tokenMatches(cookieValue(req.header("Cookie"), cookieName))) {
    return Screening::refuse(refusal(403, "open the address that `quillbox serve` printed, with its token"));
  }
  if (req.path.rfind("/api/", 0) == 0 && !guard.isPublicOrigin(req.header("Origin")) &&
      !RequestGuard::originAllowed(req.header("Origin"), host, req.header("Sec-Fetch-Site"), req.secure)) {
    return Screening::refuse(refusal(403, "requests from other sites are refused"));
  }
  return Screening::as(Standing::owner);
}

HttpResponse WebServer::Impl::handle(const HttpRequest& req) {
  if (options.cloud && CloudEndpoint::serves(req.path)) return options.cloud->handle(req);
  if (req.method == "GET") {
    if (req.path == "/api/stream") return openStream(req);
    if (const Asset* found = findAsset(req.path)) return serveAsset(*found, req);
  } else if (req.method == "POST" && req.path == "/api/event") {
    return runEvent(req);
  }
  return refusal(404, "not found");
}

HttpResponse WebServer::Impl::openStream(const HttpRequest& req) {
  Idiom idiom = options.defaultIdiom;
  std::optional<std::string> asked = req.param("idiom");
  if (asked && !parseIdiom(*asked, &idiom)) return errorJson(400, "idiom is phone or pad");
  std::optional<std::string> wanted = req.param("window");
  auto channel = std::make_shared<Channel>();
  channel->id = randomId();
  channel->http = std::make_shared<HttpStream>();
  channel->single = asked || wanted;
  std::string error;
  bool ran = queue.postAndWait([&] {
    if (stopping) {
      error = "the app is stopping";
      return;
    }
    std::string hello = "event: hello\ndata: {\"stream\":";
    appendJsonString(hello, channel->id);
    hello += "}\n\n";
    (void)channel->http->send(hello);
    channel->lastSent = Clock::now();
    if (channel->single) {
      std::shared_ptr<BrowserWindow> window = windows.takeUp(wanted.value_or(""), idiom, error);
      if (!window) return;
      windows.attach(*window, channel);
    }
    channels.emplace(channel->id, channel);
    windows.sendChanges(status);
  });
  if (!ran || !error.empty()) return errorJson(503, ran ? error : "the app is stopping");
  HttpResponse response;
  response.headers = {{"Content-Type", "text/event-stream"}, {"X-Accel-Buffering", "no"}};
  response.stream = channel->http;
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
  windows.sendChanges(status);
  for (auto it = channels.begin(); it != channels.end();) {
    Channel& channel = *it->second;
    if (!channel.open()) {
      it = channels.erase(it);
      continue;
    }
    if (now - channel.lastSent >= options.heartbeat) {
      (void)channel.http->send(kHeartbeat);
      channel.lastSent = now;
    }
    ++it;
  }
}

HttpResponse WebServer::Impl::runEvent(const HttpRequest& req) {
  if (req.header("Content-Type").rfind("application/json", 0) != 0) {
    return errorJson(415, "events are sent as application/json");
  }
  Result<ClientEvent> parsed = parseClientEvent(req.body);
  if (!parsed) return errorJson(400, parsed.status().message());
  const ClientEvent& event = parsed.value();

  int code = 204;
  std::string error;
  std::string body;
  bool ran = queue.postAndWait([&] {
    if (event.type == ClientEvent::Type::attach) {
      auto channel = channels.find(event.stream);
      Idiom idiom = options.defaultIdiom;
      if (!event.idiom.empty() && !parseIdiom(event.idiom, &idiom)) {
        code = 400;
        error = "idiom is phone or pad";
      } else if (channel == channels.end() || !channel->second->open()) {
        code = 404;
        error = "no such stream";
      } else if (std::shared_ptr<BrowserWindow> window = windows.takeUp(event.window, idiom, error)) {
        windows.attach(*window, channel->second);
        code = 200;
        body = "{\"window\":";
        appendJsonString(body, window->id);
        body += '}';
        windows.sendChanges(status);
      } else {
        code = 503;
      }
      return;
    }
    BrowserWindow* target = windows.find(event.window);
    if (target == nullptr) {
      code = 404;
      error = "no such window";
      return;
    }
    if (event.seq != 0 && event.seq <= target->ack) return;  // already run
    target->ack = event.seq;
    if (event.type == ClientEvent::Type::viewport) {
      target->mirror.setViewport(event.id, event.from, event.to);
      target->dirty = true;
      windows.sendChanges(status);
      return;
    }
    if (event.type == ClientEvent::Type::detach) {
      windows.detach(*target);
      return;
    }
    // The tree the person saw.
    Status applied = applyClientEvent(*target->window, event, target->treeSeenAt(event.rev));
    if (!applied.ok()) {
      code = statusForFailure(applied);
      error = applied.message();
    }
    windows.afterEvent(target);
    windows.sendChanges(status);
  });
  if (!ran) return errorJson(503, "the app is stopping");
  if (code == 200) return HttpResponse::text(200, std::move(body), "application/json");
  if (code == 204) {
    HttpResponse done;
    done.status = 204;
    return done;
  }
  return errorJson(code, error);
}

}  // namespace quillbox::web
