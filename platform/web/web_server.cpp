#include "platform/web/web_server.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include <httplib.h>
#include <sys/socket.h>

#include "platform/web/web_assets.h"
#include "platform/web/web_events.h"
#include "platform/web/web_json.h"
#include "platform/web/web_tree.h"

namespace quillbox::web {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kSpareThreads = 16;  // for pages and events beside the open streams
constexpr std::size_t kKeptTrees = 8;      // trees a window's page may still be looking at
constexpr time_t kKeepAliveSeconds = 5;

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

std::string errorJson(std::string_view message) {
  std::string out = "{\"error\":";
  appendJsonString(out, message);
  out += '}';
  return out;
}

void refuse(httplib::Response& res, int status, std::string_view message) {
  res.status = status;
  res.set_content(std::string(message) + "\n", "text/plain; charset=utf-8");
}

void refuseJson(httplib::Response& res, int status, std::string_view message) {
  res.status = status;
  res.set_content(errorJson(message), "application/json");
}

}  // namespace

// One browser window's app window. The window, the mirror and the counters belong to the main
// queue; the stream fields are shared with the thread that serves the event stream.
struct Session {
  std::string id;
  std::unique_ptr<Window> window;
  TreeMirror mirror;
  // The trees sent, by the mirror's revision, newest last: what the person may be looking at when
  // an event arrives. Trees the page has moved past are dropped.
  std::deque<std::pair<std::uint64_t, Window::Tree>> sent;
  std::uint64_t ack = 0;             // the last event seq run
  std::uint64_t seenRevision = 0;    // the window's revision when it was last marked
  bool needFull = true;

  std::mutex mutex;
  std::condition_variable wake;
  bool dirty = false;
  bool closed = false;
  std::uint64_t stream = 0;          // moves when a new stream takes the window over
  int streams = 0;
  Clock::time_point idleSince = Clock::now();

  void markDirty() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      dirty = true;
    }
    wake.notify_all();
  }
  bool attached() {
    std::lock_guard<std::mutex> guard(mutex);
    return streams > 0;
  }
};

struct WebServer::Impl {
  Impl(WebServerOptions o, MainQueue& q)
      : options(std::move(o)), queue(q), guard(options.listen.host, options.listen.port, options.token, options.machineNames) {}

  WebServerOptions options;
  MainQueue& queue;
  RequestGuard guard;
  httplib::Server http;
  std::thread listener;
  std::thread ticker;
  std::atomic<int> port{0};
  std::atomic<bool> stopping{false};
  std::atomic<bool> pollQueued{false};
  std::mutex tickMutex;
  std::condition_variable tickWake;
  bool started = false;

  // Main queue only.
  std::map<std::string, std::shared_ptr<Session>> sessions;
  std::uint64_t lastGeneration = 0;
  std::string status;

  void routes();
  bool checkRequest(const httplib::Request& req, httplib::Response& res);
  void openStream(const httplib::Request& req, httplib::Response& res);
  void runEvent(const httplib::Request& req, httplib::Response& res);

  // Main queue:
  std::shared_ptr<Session> openSession(Idiom idiom, std::string& error);
  std::string takeMessage(Session& session, std::uint64_t stream);
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
  const ListenAddress& listen = s.options.listen;
  std::size_t threads = s.options.maxWindows + kSpareThreads;
  s.http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  s.http.set_payload_max_length(s.options.maxBodyBytes);
  s.http.set_keep_alive_timeout(kKeepAliveSeconds);
  s.http.set_tcp_nodelay(true);  // a tree pushed on the event stream leaves at once
  // Only SO_REUSEADDR (a restart right after a stop binds again): no SO_REUSEPORT, so a second
  // app on the same address fails to start instead of sharing the browsers with the first.
  s.http.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  s.routes();

  int bound = listen.port;
  if (listen.port == 0) {
    bound = s.http.bind_to_any_port(listen.host);
  } else if (!s.http.bind_to_port(listen.host, listen.port)) {
    bound = -1;
  }
  if (bound <= 0) {
    return Status::Error("cannot listen on " + listen.host + ":" + std::to_string(listen.port) +
                         " (in use, or not an address of this machine)");
  }
  s.port = bound;
  s.guard = RequestGuard(listen.host, bound, s.options.token, s.options.machineNames);
  s.started = true;
  s.listener = std::thread([&s] { s.http.listen_after_bind(); });
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
  {
    std::lock_guard<std::mutex> guard(s.tickMutex);
  }
  s.tickWake.notify_all();
  if (s.ticker.joinable()) s.ticker.join();
  // Streams end as soon as they wake; the main queue may still be asked for their last message.
  s.queue.postAndWait([&s] { s.closeAll(); });
  s.http.stop();
  if (s.listener.joinable()) s.listener.join();
  // Work posted before this point has run once this returns (or the queue has stopped).
  s.queue.postAndWait([] {});
}

std::size_t WebServer::windowCount() {
  std::size_t count = 0;
  impl_->queue.postAndWait([&] { count = impl_->sessions.size(); });
  return count;
}

void WebServer::Impl::closeAll() {
  for (auto& [id, session] : sessions) {
    {
      std::lock_guard<std::mutex> g(session->mutex);
      session->closed = true;
    }
    session->wake.notify_all();
  }
}

void WebServer::Impl::routes() {
  http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return checkRequest(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                  : httplib::Server::HandlerResponse::Handled;
  });
  http.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Security-Policy", std::string(kContentSecurityPolicy));
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Cache-Control", "no-store");
  });
  httplib::Server::HandlerWithResponse errors = [](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty() || res.content_length_ > 0) return httplib::Server::HandlerResponse::Unhandled;
    switch (res.status) {
      case 413:
        res.set_content("request body too large\n", "text/plain; charset=utf-8");
        break;
      case 404:
        res.set_content("not found\n", "text/plain; charset=utf-8");
        break;
      default:
        res.set_content("the request could not be served (" + std::to_string(res.status) + ")\n",
                        "text/plain; charset=utf-8");
        break;
    }
    return httplib::Server::HandlerResponse::Handled;
  };
  http.set_error_handler(errors);
  http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    refuse(res, 500, "the request could not be served");
  });

  auto asset = [](const httplib::Request& req, httplib::Response& res) {
    const Asset* found = findAsset(req.path);
    if (found == nullptr) return refuse(res, 404, "not found");
    res.set_content(std::string(found->body), std::string(found->contentType));
  };
  http.Get("/", asset);
  http.Get("/app.js", asset);
  http.Get("/app.css", asset);
  http.Get("/icon.svg", asset);
  http.Get("/api/stream", [this](const httplib::Request& req, httplib::Response& res) { openStream(req, res); });
  http.Post("/api/event", [this](const httplib::Request& req, httplib::Response& res) { runEvent(req, res); });
}

bool WebServer::Impl::checkRequest(const httplib::Request& req, httplib::Response& res) {
  const std::string host = req.get_header_value("Host");
  if (!guard.hostAllowed(host)) {
    refuse(res, 403, "this server does not answer to that host name");
    return false;
  }
  if (guard.needsToken() && !guard.tokenMatches(cookieValue(req.get_header_value("Cookie"), kTokenCookie))) {
    // The first visit trades the token in the printed address for a cookie, and drops it from
    // the address bar.
    if (req.method == "GET" && req.path == "/" && req.has_param("token") &&
        guard.tokenMatches(req.get_param_value("token"))) {
      res.status = 303;
      res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + req.get_param_value("token") +
                                       "; HttpOnly; SameSite=Strict; Path=/; Max-Age=31536000");
      std::string location = "/";
      Idiom idiom{};
      if (req.has_param("idiom") && parseIdiom(req.get_param_value("idiom"), &idiom)) {
        location += "?idiom=" + req.get_param_value("idiom");
      }
      res.set_header("Location", location);
      return false;
    }
    refuse(res, 403, "open the address that `quillbox serve` printed, with its token");
    return false;
  }
  if (req.path.rfind("/api/", 0) == 0 &&
      !RequestGuard::originAllowed(req.get_header_value("Origin"), host, req.get_header_value("Sec-Fetch-Site"))) {
    refuse(res, 403, "requests from other sites are refused");
    return false;
  }
  return true;
}

std::shared_ptr<Session> WebServer::Impl::openSession(Idiom idiom, std::string& error) {
  std::size_t attached = 0;
  std::shared_ptr<Session> oldestIdle;
  Clock::time_point oldest = Clock::time_point::max();
  for (auto& [id, session] : sessions) {
    std::lock_guard<std::mutex> g(session->mutex);
    if (session->streams > 0) {
      ++attached;
    } else if (session->idleSince < oldest) {
      oldest = session->idleSince;
      oldestIdle = session;
    }
  }
  if (attached >= options.maxWindows) {
    error = "too many windows are open";
    return nullptr;
  }
  if (sessions.size() >= options.maxWindows + options.maxIdleWindows && oldestIdle) sessions.erase(oldestIdle->id);
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

void WebServer::Impl::openStream(const httplib::Request& req, httplib::Response& res) {
  Idiom idiom = options.defaultIdiom;
  if (req.has_param("idiom") && !parseIdiom(req.get_param_value("idiom"), &idiom)) {
    return refuseJson(res, 400, "idiom is phone or pad");
  }
  const std::string wanted = req.get_param_value("window");
  std::shared_ptr<Session> session;
  std::uint64_t stream = 0;
  std::string error;
  bool ran = queue.postAndWait([&] {
    if (stopping) {
      error = "the app is stopping";
      return;
    }
    auto it = sessions.find(wanted);
    if (!wanted.empty() && it != sessions.end()) {
      session = it->second;
      // Back from away: pick up what changed meanwhile.
      session->window->refresh();
      session->seenRevision = session->window->revision();
    } else {
      session = openSession(idiom, error);
      if (!session) return;
    }
    session->needFull = true;
    {
      std::lock_guard<std::mutex> g(session->mutex);
      stream = ++session->stream;
      ++session->streams;
      session->dirty = true;
    }
    session->wake.notify_all();  // an older stream of the same window ends
  });
  if (!ran || !session) return refuseJson(res, 503, ran ? error : "the app is stopping");

  std::chrono::seconds heartbeat = options.heartbeat;
  res.set_header("X-Accel-Buffering", "no");
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, session, stream, heartbeat](std::size_t, httplib::DataSink& sink) {
        std::unique_lock<std::mutex> lock(session->mutex);
        session->wake.wait_for(lock, heartbeat, [&] {
          return session->dirty || session->closed || session->stream != stream || stopping;
        });
        if (session->closed || session->stream != stream || stopping) {
          sink.done();  // the stream ends cleanly: taken over, closed, or the app is stopping
          return true;
        }
        bool dirty = session->dirty;
        session->dirty = false;
        lock.unlock();
        std::string message;
        if (dirty && !queue.postAndWait([&] { message = takeMessage(*session, stream); })) return false;
        if (message.empty()) message = ": still here\n\n";
        return sink.write(message.data(), message.size());
      },
      [session](bool) {
        std::lock_guard<std::mutex> g(session->mutex);
        --session->streams;
        session->idleSince = Clock::now();
      });
}

std::string WebServer::Impl::takeMessage(Session& session, std::uint64_t stream) {
  {
    // A stream that another one took over sends nothing more: what the mirror records as sent
    // must be what the window's current stream sent.
    std::lock_guard<std::mutex> g(session.mutex);
    if (session.stream != stream) return "";
  }
  bool full = session.needFull;
  if (full) session.mirror.reset();
  session.needFull = false;
  Window::Tree tree = session.window->snapshot();
  std::string nodes = session.mirror.diff(*tree);
  session.sent.emplace_back(session.mirror.revision(), std::move(tree));
  if (session.sent.size() > kKeptTrees) session.sent.pop_front();
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

void WebServer::Impl::markChanged() {
  for (auto& [id, session] : sessions) {
    if (session->window->revision() != session->seenRevision) {
      session->seenRevision = session->window->revision();
      session->markDirty();
    }
  }
}

void WebServer::Impl::afterEvent(Session* origin) {
  // Every window whose browser is there picks up what the event wrote; a window whose browser is
  // away does so when it comes back.
  for (auto& [id, session] : sessions) {
    if (session.get() != origin && session->attached()) session->window->refresh();
  }
  if (origin != nullptr) origin->markDirty();
  markChanged();
}

void WebServer::Impl::poll() {
  if (options.tick) options.tick();
  // Windows whose browser stayed away too long are closed.
  Clock::time_point now = Clock::now();
  for (auto it = sessions.begin(); it != sessions.end();) {
    Session& session = *it->second;
    bool expired;
    {
      std::lock_guard<std::mutex> g(session.mutex);
      expired = session.streams == 0 && now - session.idleSince > options.keepIdle;
    }
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
    for (auto& [id, session] : sessions) session->markDirty();
  }
}

void WebServer::Impl::runEvent(const httplib::Request& req, httplib::Response& res) {
  const std::string type = req.get_header_value("Content-Type");
  if (type.rfind("application/json", 0) != 0) return refuseJson(res, 415, "events are sent as application/json");
  Result<ClientEvent> parsed = parseClientEvent(req.body);
  if (!parsed) return refuseJson(res, 400, parsed.status().message());
  const ClientEvent& event = parsed.value();

  int code = 204;
  std::string error;
  bool ran = queue.postAndWait([&] {
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
      session.markDirty();
      return;
    }
    // The tree the person saw; one too old to be kept is an empty one, in which no row is found.
    Window::Tree seen;
    while (!session.sent.empty() && session.sent.front().first < event.rev) session.sent.pop_front();
    if (!session.sent.empty() && session.sent.front().first == event.rev) seen = session.sent.front().second;
    if (!seen) seen = std::make_shared<const Element>();
    Status applied = applyClientEvent(*session.window, event, seen);
    if (!applied.ok()) {
      code = 409;
      error = applied.message();
    }
    afterEvent(&session);
  });
  if (!ran) return refuseJson(res, 503, "the app is stopping");
  if (code == 204) {
    res.status = 204;
    return;
  }
  refuseJson(res, code, error);
}

}  // namespace quillbox::web
