#include "platform/web/web_server.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "platform/web/web_assets.h"
#include "platform/web/web_events.h"
#include "platform/web/web_json.h"
#include "platform/web/web_tree.h"

namespace quillbox::web {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kHeartbeat = ": still here\n\n";
constexpr std::size_t kKeptTrees = 8;  // trees a window's page may still be looking at

std::string randomId() {
  std::random_device device;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 4; ++i) {
    std::uint32_t word = device();
    for (int b = 0; b < 8; ++b) id += kHex[(word >> (4 * b)) & 0xf];
  }
  return id;
}

HttpResponse refusal(int status, std::string_view message) {
  return HttpResponse::text(status, std::string(message) + "\n");
}

HttpResponse errorJson(int status, std::string_view message) {
  std::string body = "{\"error\":";
  appendJsonString(body, message);
  body += '}';
  return HttpResponse::text(status, std::move(body), "application/json");
}

// The answer to an event that failed: it named something that is no longer there or changed (409),
// or a store could not be read or written, or was held by another process (503).
int statusForFailure(const Status& failure) {
  switch (failure.code()) {
    case Status::Code::io:
    case Status::Code::unavailable:
    case Status::Code::busy:
      return 503;
    case Status::Code::unauthenticated:
      return 403;
    default:
      return 409;
  }
}

}  // namespace

// One event stream, and the windows whose trees it carries: the one window of the page that opened
// it, or the windows of every page of one browser, whose leading page holds it for them. Main
// queue only.
struct Channel {
  std::string id;
  std::shared_ptr<HttpStream> http;
  bool single = false;  // opened for one window: it ends when that window moves to another stream
  Clock::time_point lastSent{};

  bool open() const { return http && !http->closed(); }
};

// One browser window's app window, and the event stream its trees go out on. Main queue only.
struct Session {
  std::string id;
  std::unique_ptr<Window> window;
  TreeMirror mirror;
  // The trees sent, each with the mirror's revisions it was sent at (messages that only brought
  // rows of a list share one), newest last: what the person may be looking at when an event
  // arrives. Trees the page has moved past are dropped.
  struct SentTree {
    std::uint64_t first;
    std::uint64_t last;
    Window::Tree tree;
  };
  std::deque<SentTree> sent;
  std::uint64_t ack = 0;           // the last event seq run
  std::uint64_t seenRevision = 0;  // the window's revision when it was last marked
  bool needFull = true;
  bool dirty = false;  // the stream is owed the tree's change
  std::shared_ptr<Channel> channel;
  Clock::time_point detached = Clock::now();  // when it last had no stream

  bool attached() const { return channel && channel->open(); }
  // Since when the browser has been away.
  Clock::time_point awaySince() const {
    return channel && channel->http->closed() ? channel->http->closedAt() : detached;
  }
};

struct WebServer::Impl {
  Impl(WebServerOptions o, MainQueue& q)
      : options(std::move(o)),
        queue(q),
        guard(options.listen.host, options.listen.port, options.token, options.machineNames) {}

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
  std::map<std::string, std::shared_ptr<Session>> sessions;
  std::map<std::string, std::shared_ptr<Channel>> channels;
  std::uint64_t lastGeneration = 0;
  std::string status;

  // Network thread:
  std::optional<HttpResponse> screen(const HttpRequest& req) const;
  // Worker threads:
  HttpResponse handle(const HttpRequest& req);
  HttpResponse openStream(const HttpRequest& req);
  HttpResponse runEvent(const HttpRequest& req);

  // Main queue:
  std::shared_ptr<Session> openSession(Idiom idiom, std::string& error);
  std::shared_ptr<Session> takeUp(const std::string& window, Idiom idiom, std::string& error);
  void attach(Session& session, const std::shared_ptr<Channel>& channel);
  void detach(Session& session);
  std::string takeMessage(Session& session);
  void sendChanges();
  void afterEvent(Session* origin);
  void markChanged();
  void poll();
  void closeAll();
};

WebServer::WebServer(WebServerOptions options, MainQueue& queue)
    : impl_(std::make_unique<Impl>(std::move(options), queue)) {}

WebServer::~WebServer() {
  stop();
  // The windows go on the thread that destroys the server, after every thread has ended.
  impl_->sessions.clear();
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
  s.guard = RequestGuard(s.options.listen.host, s.port, s.options.token, s.options.machineNames);
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
  impl_->queue.postAndWait([&] { count = impl_->sessions.size(); });
  return count;
}

void WebServer::Impl::closeAll() {
  for (auto& [id, channel] : channels) channel->http->end();
}

std::optional<HttpResponse> WebServer::Impl::screen(const HttpRequest& req) const {
  if (options.cloud && CloudEndpoint::serves(req.path)) return options.cloud->screen(req);
  const std::string_view host = req.header("Host");
  if (!guard.hostAllowed(host)) return refusal(403, "this server does not answer to that host name");
  if (req.method == "GET" && req.path == "/") {
    if (std::optional<std::string> token = req.param("token")) {
      if (!guard.tokenMatches(*token))
        return refusal(403, "this address holds a token that is not this app's");
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
      return trade;
    }
  }
  if (!guard.tokenMatches(cookieValue(req.header("Cookie"), cookieName))) {
    return refusal(403, "open the address that `quillbox serve` printed, with its token");
  }
  if (req.path.rfind("/api/", 0) == 0 &&
      !RequestGuard::originAllowed(req.header("Origin"), host, req.header("Sec-Fetch-Site"), req.secure)) {
    return refusal(403, "requests from other sites are refused");
  }
  return std::nullopt;
}

HttpResponse WebServer::Impl::handle(const HttpRequest& req) {
  if (options.cloud && CloudEndpoint::serves(req.path)) return options.cloud->handle(req);
  if (req.method == "GET") {
    if (req.path == "/api/stream") return openStream(req);
    if (const Asset* found = findAsset(req.path)) {
      return HttpResponse::text(200, std::string(found->body), found->contentType);
    }
  } else if (req.method == "POST" && req.path == "/api/event") {
    return runEvent(req);
  }
  return refusal(404, "not found");
}

std::shared_ptr<Session> WebServer::Impl::openSession(Idiom idiom, std::string& error) {
  std::size_t attached = 0;
  std::shared_ptr<Session> oldestIdle;
  for (auto& [id, session] : sessions) {
    if (session->attached()) {
      ++attached;
    } else if (!oldestIdle || session->awaySince() < oldestIdle->awaySince()) {
      oldestIdle = session;
    }
  }
  if (attached >= options.maxWindows) {
    error = "too many windows are open";
    return nullptr;
  }
  if (sessions.size() >= options.maxWindows + options.maxIdleWindows && oldestIdle)
    sessions.erase(oldestIdle->id);
  if (!options.makeWindow) {
    error = "the app makes no windows";
    return nullptr;
  }
  auto session = std::make_shared<Session>();
  session->id = randomId();
  session->window = options.makeWindow(idiom);
  if (!session->window) {
    error = "the app made no window";
    return nullptr;
  }
  // A store that cannot be read shows in the status line; the window opens all the same.
  (void)session->window->open();
  session->seenRevision = session->window->revision();
  sessions.emplace(session->id, session);
  // Opening ran the first tab's Appear, which may have changed the store for the others.
  afterEvent(session.get());
  return session;
}

// A window taken up again (it picks up what changed meanwhile), or a new one when there is none
// by that id.
std::shared_ptr<Session> WebServer::Impl::takeUp(const std::string& window, Idiom idiom, std::string& error) {
  auto it = window.empty() ? sessions.end() : sessions.find(window);
  if (it == sessions.end()) return openSession(idiom, error);
  it->second->window->refresh();
  it->second->seenRevision = it->second->window->revision();
  return it->second;
}

// The window's trees go out on channel from now on, starting with the whole tree. A stream opened
// for this window alone ends when the window moves to another.
void WebServer::Impl::attach(Session& session, const std::shared_ptr<Channel>& channel) {
  if (session.channel && session.channel != channel && session.channel->single) session.channel->http->end();
  session.channel = channel;
  session.needFull = true;
  session.dirty = true;
}

void WebServer::Impl::detach(Session& session) {
  if (session.channel && session.channel->single) session.channel->http->end();
  session.channel.reset();
  session.detached = Clock::now();
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
      std::shared_ptr<Session> session = takeUp(wanted.value_or(""), idiom, error);
      if (!session) return;
      attach(*session, channel);
    }
    channels.emplace(channel->id, channel);
    sendChanges();
  });
  if (!ran || !error.empty()) return errorJson(503, ran ? error : "the app is stopping");
  HttpResponse response;
  response.headers = {{"Content-Type", "text/event-stream"}, {"X-Accel-Buffering", "no"}};
  response.stream = channel->http;
  return response;
}

std::string WebServer::Impl::takeMessage(Session& session) {
  bool full = session.needFull;
  if (full) session.mirror.reset();
  session.needFull = false;
  Window::Tree tree = session.window->snapshot();
  std::string nodes = session.mirror.diff(*tree);
  const std::uint64_t revision = session.mirror.revision();
  if (!session.sent.empty() && session.sent.back().tree == tree) {
    session.sent.back().last = revision;
  } else {
    session.sent.push_back({revision, revision, std::move(tree)});
    if (session.sent.size() > kKeptTrees) session.sent.pop_front();
  }
  std::string message = "event: tree\ndata: {\"window\":";
  appendJsonString(message, session.id);
  message += ",\"rev\":" + std::to_string(session.mirror.revision());
  message += ",\"ack\":" + std::to_string(session.ack);
  message += full ? ",\"full\":true" : ",\"full\":false";
  message += ",\"status\":";
  appendJsonString(message, status);
  message += ",\"nodes\":";
  message += nodes;
  message += "}\n\n";
  return message;
}

void WebServer::Impl::sendChanges() {
  // A window whose browser is away is sent its whole tree when it comes back.
  for (auto& [id, session] : sessions) {
    if (!session->dirty || !session->attached()) continue;
    session->dirty = false;
    if (!session->channel->http->send(takeMessage(*session))) session->needFull = true;
    session->channel->lastSent = Clock::now();
  }
}

void WebServer::Impl::markChanged() {
  for (auto& [id, session] : sessions) {
    if (session->window->revision() != session->seenRevision) {
      session->seenRevision = session->window->revision();
      session->dirty = true;
    }
  }
}

void WebServer::Impl::afterEvent(Session* origin) {
  // Every window whose browser is there picks up what the event wrote; a window whose browser is
  // away does so when it comes back.
  for (auto& [id, session] : sessions) {
    if (session.get() != origin && session->attached()) session->window->refresh();
  }
  if (origin != nullptr) origin->dirty = true;
  markChanged();
}

void WebServer::Impl::poll() {
  if (options.tick) options.tick();
  // Windows whose browser stayed away too long are closed.
  Clock::time_point now = Clock::now();
  for (auto it = sessions.begin(); it != sessions.end();) {
    const Session& session = *it->second;
    bool expired = !session.attached() && now - session.awaySince() > options.keepIdle;
    it = expired ? sessions.erase(it) : std::next(it);
  }
  if (options.store) {
    std::uint64_t generation = options.store->generation();
    if (generation != lastGeneration) {
      lastGeneration = generation;
      afterEvent(nullptr);
    }
  }
  std::string line = options.statusLine ? options.statusLine() : std::string();
  if (line != status) {
    status = std::move(line);
    for (auto& [id, session] : sessions) session->dirty = true;
  }
  sendChanges();
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
      } else if (std::shared_ptr<Session> session = takeUp(event.window, idiom, error)) {
        attach(*session, channel->second);
        code = 200;
        body = "{\"window\":";
        appendJsonString(body, session->id);
        body += '}';
        sendChanges();
      } else {
        code = 503;
      }
      return;
    }
    auto it = sessions.find(event.window);
    if (it == sessions.end()) {
      code = 404;
      error = "no such window";
      return;
    }
    Session& session = *it->second;
    if (event.seq != 0 && event.seq <= session.ack) return;  // already run
    session.ack = event.seq;
    if (event.type == ClientEvent::Type::viewport) {
      session.mirror.setViewport(event.id, event.from, event.to);
      session.dirty = true;
      sendChanges();
      return;
    }
    if (event.type == ClientEvent::Type::detach) {
      detach(session);
      return;
    }
    // The tree the person saw; one too old to be kept is an empty one, in which no row is found.
    Window::Tree seen;
    while (!session.sent.empty() && session.sent.front().last < event.rev) session.sent.pop_front();
    if (!session.sent.empty() && session.sent.front().first <= event.rev) seen = session.sent.front().tree;
    if (!seen) seen = std::make_shared<const Element>();
    Status applied = applyClientEvent(*session.window, event, seen);
    if (!applied.ok()) {
      code = statusForFailure(applied);
      error = applied.message();
    }
    afterEvent(&session);
    sendChanges();
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
