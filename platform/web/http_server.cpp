#include "platform/web/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "platform/web/web_security.h"

namespace quillbox::web {

namespace {

constexpr std::uint64_t kListenerKey = 0;
constexpr std::uint64_t kWakeKey = 1;
constexpr int kTickMs = 50;  // how often deadlines are looked at
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kAcceptBatch = 8;  // then the connections already open get a turn
constexpr std::size_t kMaxContentLengthDigits = 18;
constexpr auto kStopGrace = std::chrono::milliseconds(1000);
constexpr std::string_view kStreamEnd = "0\r\n\r\n";

class PlainTransport : public HttpTransport {
 public:
  explicit PlainTransport(int fd) : fd_(fd) {}
  long read(char* data, std::size_t size) override {
    ssize_t n = ::recv(fd_, data, size, 0);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kWouldBlock : kFailed;
  }
  long write(const char* data, std::size_t size) override {
    ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kWouldBlock : kFailed;
  }

 private:
  int fd_;
};

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes %XX escapes (and '+' as a space in a query). False for a broken escape.
bool percentDecode(std::string_view text, bool plusIsSpace, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
      int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
      if (high < 0 || low < 0) return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += plusIsSpace && c == '+' ? ' ' : c;
    }
  }
  return true;
}

bool isTokenChar(char c) {
  auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7f) return false;
  return std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

std::string_view trimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

const char* reasonPhrase(int status) {
  static constexpr std::pair<int, const char*> kReasons[] = {{100, "Continue"},
                                                             {200, "OK"},
                                                             {204, "No Content"},
                                                             {303, "See Other"},
                                                             {400, "Bad Request"},
                                                             {401, "Unauthorized"},
                                                             {403, "Forbidden"},
                                                             {404, "Not Found"},
                                                             {405, "Method Not Allowed"},
                                                             {409, "Conflict"},
                                                             {411, "Length Required"},
                                                             {412, "Precondition Failed"},
                                                             {413, "Content Too Large"},
                                                             {415, "Unsupported Media Type"},
                                                             {429, "Too Many Requests"},
                                                             {431, "Request Header Fields Too Large"},
                                                             {500, "Internal Server Error"},
                                                             {503, "Service Unavailable"}};
  for (const auto& [code, reason] : kReasons) {
    if (code == status) return reason;
  }
  return "Status";
}

bool safeHeaderText(std::string_view text) {
  return text.find_first_of("\r\n") == std::string_view::npos && text.find('\0') == std::string_view::npos;
}

// What the head says about the request besides its fields.
struct Head {
  int error = 0;  // the status to answer a head that cannot be taken
  std::size_t contentLength = 0;
  bool keepAlive = true;
  bool chunked = false;
  bool expectContinue = false;
};

// The end of the head (just past its blank line) in text, or npos. Looks from `from` on.
std::size_t headEnd(std::string_view text, std::size_t from) {
  for (std::size_t i = text.find('\n', from); i != std::string_view::npos; i = text.find('\n', i + 1)) {
    if (i + 1 < text.size() && text[i + 1] == '\n') return i + 2;
    if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') return i + 3;
  }
  return std::string_view::npos;
}

Head parseHead(std::string_view text, HttpRequest& request) {
  Head head;
  head.error = 400;
  bool first = true;
  bool sawLength = false;
  bool connectionClose = false;
  bool connectionKeepAlive = false;
  while (!text.empty()) {
    std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      if (first) continue;  // a stray blank line before a request is allowed
      break;
    }
    if (first) {
      first = false;
      std::size_t space1 = line.find(' ');
      std::size_t space2 = line.find(' ', space1 == std::string_view::npos ? line.size() : space1 + 1);
      if (space1 == std::string_view::npos || space2 == std::string_view::npos) return head;
      std::string_view method = line.substr(0, space1);
      std::string_view target = line.substr(space1 + 1, space2 - space1 - 1);
      std::string_view version = line.substr(space2 + 1);
      if (method.empty() || !std::all_of(method.begin(), method.end(), isTokenChar)) return head;
      if (target.empty() || target.front() != '/') return head;
      for (char c : target) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) return head;
      }
      if (version == "HTTP/1.1") {
        request.minorVersion = 1;
      } else if (version == "HTTP/1.0") {
        request.minorVersion = 0;
      } else {
        return head;
      }
      request.method = std::string(method);
      request.target = std::string(target);
      std::size_t question = target.find('?');
      if (question != std::string_view::npos) request.query = std::string(target.substr(question + 1));
      if (!percentDecode(target.substr(0, question), false, request.path)) return head;
      if (request.path.find('\0') != std::string::npos) return head;
      continue;
    }
    if (line.front() == ' ' || line.front() == '\t') return head;  // folded lines are not taken
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return head;
    std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), isTokenChar)) return head;
    std::string_view value = trimSpaces(line.substr(colon + 1));
    for (char c : value) {
      auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\t') || u == 0x7f) return head;
    }
    std::string lowered(name);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), lowerAscii);
    if (lowered == "content-length") {
      std::size_t length = 0;
      if (value.empty() || value.size() > kMaxContentLengthDigits) return head;
      auto [end, problem] = std::from_chars(value.data(), value.data() + value.size(), length);
      if (problem != std::errc() || end != value.data() + value.size()) return head;
      if (sawLength && length != head.contentLength) return head;
      sawLength = true;
      head.contentLength = length;
    } else if (lowered == "transfer-encoding") {
      head.chunked = true;
    } else if (lowered == "connection") {
      std::size_t start = 0;
      while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) comma = value.size();
        std::string_view option = trimSpaces(value.substr(start, comma - start));
        connectionClose = connectionClose || equalsIgnoringCase(option, "close");
        connectionKeepAlive = connectionKeepAlive || equalsIgnoringCase(option, "keep-alive");
        start = comma + 1;
      }
    } else if (lowered == "expect") {
      head.expectContinue = equalsIgnoringCase(value, "100-continue");
    }
    request.headers.emplace_back(std::move(lowered), std::string(value));
  }
  if (first) return head;
  head.keepAlive = request.minorVersion == 1 ? !connectionClose : connectionKeepAlive && !connectionClose;
  head.error = 0;
  return head;
}

// What a trusted proxy on loopback says of the client it forwards.
void forwarded(HttpRequest& request) {
  std::string_view chain = request.header("X-Forwarded-For");
  if (chain.empty() || !isLoopbackHost(request.peer)) return;
  std::size_t comma = chain.rfind(',');
  std::string_view last = trimSpaces(comma == std::string_view::npos ? chain : chain.substr(comma + 1));
  if (last.empty()) return;
  request.peer = std::string(last);
  request.secure = equalsIgnoringCase(trimSpaces(request.header("X-Forwarded-Proto")), "https");
}

std::string peerName(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
  }
  return text;
}

void appendChunk(std::string& out, std::string_view data) {
  char size[20];
  auto [end, problem] = std::to_chars(size, size + sizeof size, data.size(), 16);
  (void)problem;
  out.append(size, end);
  out += "\r\n";
  out += data;
  out += "\r\n";
}

}  // namespace

std::string_view HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return {};
}

std::optional<std::string> HttpRequest::param(std::string_view name) const {
  std::string_view rest = query;
  std::string key, value;
  while (!rest.empty()) {
    std::size_t amp = rest.find('&');
    std::string_view pair = rest.substr(0, amp);
    rest.remove_prefix(amp == std::string_view::npos ? rest.size() : amp + 1);
    std::size_t equals = pair.find('=');
    if (!percentDecode(pair.substr(0, equals), true, key) || key != name) continue;
    if (equals == std::string_view::npos) return std::string();
    if (percentDecode(pair.substr(equals + 1), true, value)) return value;
  }
  return std::nullopt;
}

HttpResponse HttpResponse::text(int status, std::string body, std::string_view contentType) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  response.headers.emplace_back("Content-Type", std::string(contentType));
  return response;
}

// The server is woken under the lock: it clears wake_ under the same lock before it goes away.
bool HttpStream::send(std::string_view data) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (closed_ || ended_) return false;
  if (data.empty()) return true;
  appendChunk(pending_, data);
  if (wake_) wake_();
  return true;
}

void HttpStream::end() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (ended_) return;
  ended_ = true;
  if (wake_) wake_();
}

bool HttpStream::closed() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return closed_;
}

HttpClock::time_point HttpStream::closedAt() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return closedAt_;
}

namespace {

enum class Phase { head, body, working, writing, streaming, lingering };

struct Connection {
  std::uint64_t key = 0;  // also its age: a larger key is a younger connection
  int fd = -1;
  std::unique_ptr<HttpTransport> io;
  std::string peer;
  Phase phase = Phase::head;
  bool screened = false;    // a request of this connection passed the screening
  bool idle = false;        // between requests: nothing of the next one has come
  bool keepAlive = true;    // the request being answered lets the connection stay open
  bool dead = false;        // closed at the end of this turn
  bool peerClosed = false;  // the client has sent all it will send
  HttpClock::time_point deadline = HttpClock::time_point::max();
  std::string in;           // read, not yet taken
  std::size_t scanned = 0;  // how much of in holds no head end
  HttpRequest request;
  std::size_t bodyLength = 0;
  std::string out;
  std::size_t sent = 0;  // how much of out has gone
  std::shared_ptr<HttpStream> stream;
  bool streamEnding = false;  // the last chunk is in out
  bool registered = false;    // in the epoll set
  std::uint32_t watching = 0;
};

}  // namespace

struct HttpServer::Impl {
  explicit Impl(HttpServerOptions o) : options(std::move(o)) {}

  HttpServerOptions options;
  int listenFd = -1;
  int wakeFd = -1;
  int epollFd = -1;
  std::atomic<int> port{0};
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> open{0};
  bool started = false;
  std::thread network;
  std::vector<std::thread> workers;

  // Network thread only. Ordered by key, so by age.
  std::map<std::uint64_t, std::unique_ptr<Connection>> connections;
  std::uint64_t nextKey = 2;
  bool listenerPaused = false;  // out of descriptors: not accepting until one is free

  std::mutex jobMutex;
  std::condition_variable jobWake;
  std::deque<std::pair<std::uint64_t, HttpRequest>> jobs;  // guarded by jobMutex
  bool workersEnd = false;                                 // guarded by jobMutex

  std::mutex doneMutex;
  std::deque<std::pair<std::uint64_t, HttpResponse>> done;  // guarded by doneMutex

  HttpClock::time_point now() const { return options.clock ? options.clock() : HttpClock::now(); }
  void wake() const {
    std::uint64_t one = 1;
    ssize_t written = ::write(wakeFd, &one, sizeof one);
    (void)written;  // a full counter still wakes the loop
  }

  void run();
  void work();
  void acceptSome();
  void admit(int fd, std::string peer);
  // The oldest live connection (of that peer, or of any) that has passed no screening.
  Connection* evictable(const std::string* peer);
  void handleEvents(Connection& c, std::uint32_t events);
  void readInput(Connection& c);
  void progress(Connection& c);
  void refuse(Connection& c, HttpResponse response);
  void answer(Connection& c, HttpResponse response);
  void flush(Connection& c);
  void written(Connection& c);
  void pullStream(Connection& c);
  void closeStream(Connection& c);
  void watch(Connection& c, std::uint32_t events);
  void takeAnswers();
  void sweep(bool all);
  std::string serialize(const HttpResponse& response, bool keepAlive) const;
};

HttpServer::HttpServer(HttpServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

HttpServer::~HttpServer() {
  stop();
  if (!impl_->started && impl_->listenFd >= 0) ::close(impl_->listenFd);
}

int HttpServer::port() const { return impl_->port.load(); }

std::size_t HttpServer::connectionCount() const { return impl_->open.load(); }

Status HttpServer::listen() {
  Impl& s = *impl_;
  if (s.listenFd >= 0) return Status::Ok();
  const std::string where = s.options.host + ":" + std::to_string(s.options.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  std::string portText = std::to_string(s.options.port);
  if (::getaddrinfo(s.options.host.c_str(), portText.c_str(), &hints, &found) != 0 || found == nullptr) {
    return Status::Error("cannot listen on " + where + " (in use, or not an address of this machine)");
  }
  for (addrinfo* item = found; item != nullptr && s.listenFd < 0; item = item->ai_next) {
    int fd = ::socket(item->ai_family, item->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, item->ai_protocol);
    if (fd < 0) continue;
    // Only SO_REUSEADDR (a restart right after a stop binds again): no SO_REUSEPORT, so a second
    // app on the same address fails to start instead of sharing the browsers with the first.
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, item->ai_addr, item->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
      s.listenFd = fd;
    } else {
      ::close(fd);
    }
  }
  ::freeaddrinfo(found);
  if (s.listenFd < 0) {
    return Status::Error("cannot listen on " + where + " (in use, or not an address of this machine)");
  }
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  ::getsockname(s.listenFd, reinterpret_cast<sockaddr*>(&bound), &size);
  s.port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(bound).sin_port);

  return Status::Ok();
}

Status HttpServer::start() {
  Impl& s = *impl_;
  if (s.started) return Status::Error("the server has already started");
  if (Status bound = listen(); !bound.ok()) return bound;
  const std::string where = s.options.host + ":" + std::to_string(s.port.load());
  s.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  s.epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  if (s.wakeFd < 0 || s.epollFd < 0) {
    std::string reason = std::strerror(errno);
    for (int fd : {s.listenFd, s.wakeFd, s.epollFd}) {
      if (fd >= 0) ::close(fd);
    }
    s.listenFd = s.wakeFd = s.epollFd = -1;
    return Status::Error("cannot serve on " + where + ": " + reason);
  }
  epoll_event listening{};
  listening.events = EPOLLIN;
  listening.data.u64 = kListenerKey;
  epoll_event waking{};
  waking.events = EPOLLIN;
  waking.data.u64 = kWakeKey;
  ::epoll_ctl(s.epollFd, EPOLL_CTL_ADD, s.listenFd, &listening);
  ::epoll_ctl(s.epollFd, EPOLL_CTL_ADD, s.wakeFd, &waking);

  s.started = true;
  s.network = std::thread([&s] { s.run(); });
  for (std::size_t i = 0; i < std::max<std::size_t>(1, s.options.workers); ++i) {
    s.workers.emplace_back([&s] { s.work(); });
  }
  return Status::Ok();
}

void HttpServer::stop() {
  Impl& s = *impl_;
  if (!s.started || s.stopping.exchange(true)) return;
  s.wake();
  s.network.join();
  {
    std::lock_guard<std::mutex> guard(s.jobMutex);
    s.workersEnd = true;
  }
  s.jobWake.notify_all();
  for (std::thread& worker : s.workers) worker.join();
  // Answers that came too late: their streams never open.
  for (auto& [key, response] : s.done) {
    if (response.stream) {
      std::lock_guard<std::mutex> guard(response.stream->mutex_);
      response.stream->closed_ = true;
      response.stream->closedAt_ = s.now();
    }
  }
  s.done.clear();
  ::close(s.epollFd);
  ::close(s.wakeFd);
}

void HttpServer::Impl::work() {
  for (;;) {
    std::pair<std::uint64_t, HttpRequest> job;
    {
      std::unique_lock<std::mutex> lock(jobMutex);
      jobWake.wait(lock, [&] { return workersEnd || !jobs.empty(); });
      if (workersEnd) return;
      job = std::move(jobs.front());
      jobs.pop_front();
    }
    HttpResponse response;
    try {
      response = options.handle ? options.handle(job.second) : HttpResponse::text(404, "not found\n");
    } catch (const std::exception&) {
      response = HttpResponse::text(500, "the request could not be served\n");
    }
    {
      std::lock_guard<std::mutex> guard(doneMutex);
      done.emplace_back(job.first, std::move(response));
    }
    wake();
  }
}

void HttpServer::Impl::run() {
  epoll_event events[64];
  while (!stopping) {
    int count = ::epoll_wait(epollFd, events, 64, kTickMs);
    bool incoming = false;
    for (int i = 0; i < count; ++i) {
      std::uint64_t key = events[i].data.u64;
      if (key == kListenerKey) {
        incoming = true;
      } else if (key == kWakeKey) {
        std::uint64_t value = 0;
        ssize_t got = ::read(wakeFd, &value, sizeof value);
        (void)got;
        takeAnswers();
      } else if (auto it = connections.find(key); it != connections.end() && !it->second->dead) {
        handleEvents(*it->second, events[i].events);
      }
    }
    // New connections come last: what the open ones sent (a head that passes the screening) is
    // taken before newcomers can make them give way.
    if (incoming) acceptSome();
    HttpClock::time_point at = now();
    for (auto& [key, c] : connections) {
      if (!c->dead && at >= c->deadline) c->dead = true;
    }
    std::size_t before = connections.size();
    sweep(false);
    if (listenerPaused && (connections.size() < before || count == 0)) {
      epoll_event listening{};
      listening.events = EPOLLIN;
      listening.data.u64 = kListenerKey;
      ::epoll_ctl(epollFd, EPOLL_CTL_MOD, listenFd, &listening);
      listenerPaused = false;
    }
  }
  ::close(listenFd);
  // Streams that were ended get a moment to send their last bytes.
  auto giveUp = HttpClock::now() + kStopGrace;
  for (;;) {
    takeAnswers();
    bool waiting = false;
    for (auto& [key, c] : connections) {
      if (!c->dead && c->phase == Phase::streaming && c->streamEnding)
        waiting = waiting || c->sent < c->out.size();
    }
    if (!waiting || HttpClock::now() >= giveUp) break;
    int count = ::epoll_wait(epollFd, events, 64, 10);
    for (int i = 0; i < count; ++i) {
      auto it = connections.find(events[i].data.u64);
      if (it != connections.end() && !it->second->dead && (events[i].events & EPOLLOUT)) flush(*it->second);
    }
    sweep(false);
  }
  sweep(true);
}

void HttpServer::Impl::acceptSome() {
  for (std::size_t i = 0; i < kAcceptBatch; ++i) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: the waiting connections stay queued until one of ours closes,
        // instead of waking this thread again and again.
        epoll_event paused{};
        paused.data.u64 = kListenerKey;
        ::epoll_ctl(epollFd, EPOLL_CTL_MOD, listenFd, &paused);
        listenerPaused = true;
      }
      return;
    }
    admit(fd, peerName(address));
  }
}

Connection* HttpServer::Impl::evictable(const std::string* peer) {
  for (auto& [key, c] : connections) {
    if (c->dead || c->screened || (peer != nullptr && c->peer != *peer)) continue;
    // A last read first: a head that came in since is screened rather than thrown away.
    if (c->phase == Phase::head) readInput(*c);
    if (!c->dead && !c->screened) return c.get();
  }
  return nullptr;
}

void HttpServer::Impl::admit(int fd, std::string peer) {
  // One address holds only so many connections that have not shown a request that passed the
  // screening: the oldest of them makes way, so a client that opens connections and sends
  // nothing can never keep out one that does.
  std::size_t live = 0;
  std::size_t samePeer = 0;
  for (auto& [key, c] : connections) {
    if (c->dead) continue;
    ++live;
    if (!c->screened && c->peer == peer) ++samePeer;
  }
  if (samePeer >= options.maxUnscreenedPerAddress) {
    if (Connection* oldest = evictable(&peer)) {
      oldest->dead = true;
      --live;
    }
  }
  if (live >= options.maxConnections) {
    Connection* oldest = evictable(nullptr);
    if (oldest == nullptr) {
      ::close(fd);
      return;
    }
    oldest->dead = true;
  }
  int yes = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);  // a pushed message leaves at once
  auto c = std::make_unique<Connection>();
  c->key = nextKey++;
  c->fd = fd;
  c->io = options.transport ? options.transport(fd) : std::make_unique<PlainTransport>(fd);
  c->peer = std::move(peer);
  c->deadline = now() + options.headTimeout;
  Connection& added = *c;
  connections.emplace(added.key, std::move(c));
  ++open;
  watch(added, EPOLLIN);
  // A client usually sends its head with the connection: it is screened before the next accept.
  readInput(added);
}

void HttpServer::Impl::watch(Connection& c, std::uint32_t events) {
  if (c.dead || (c.registered && c.watching == events)) return;
  epoll_event event{};
  event.events = events;
  event.data.u64 = c.key;
  ::epoll_ctl(epollFd, c.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &event);
  c.registered = true;
  c.watching = events;
}

void HttpServer::Impl::handleEvents(Connection& c, std::uint32_t events) {
  if (events & (EPOLLERR | EPOLLHUP)) {
    c.dead = true;
    return;
  }
  if (events & EPOLLIN) readInput(c);
  if (!c.dead && (events & EPOLLOUT)) flush(c);
}

void HttpServer::Impl::readInput(Connection& c) {
  char buffer[kReadChunk];
  const bool discard = c.phase == Phase::streaming || c.phase == Phase::lingering;
  bool ended = false;
  for (;;) {
    std::size_t room = kReadChunk;
    if (c.phase == Phase::head) {
      if (c.in.size() > options.maxHeadBytes) break;
      room = std::min(room, options.maxHeadBytes + 1 - c.in.size());
    } else if (c.phase == Phase::body) {
      if (c.in.size() >= c.bodyLength) break;
      room = std::min(room, c.bodyLength - c.in.size());
    } else if (!discard) {
      return;  // working or writing: what follows waits in the socket
    }
    long n = c.io->read(buffer, room);
    if (n == HttpTransport::kWouldBlock) break;
    if (n < 0) {
      c.dead = true;
      return;
    }
    if (n == 0) {
      ended = true;
      break;
    }
    if (!discard) c.in.append(buffer, static_cast<std::size_t>(n));
  }
  if (discard) {
    if (ended) c.dead = true;  // the client left, or a refused one has finished sending
    return;
  }
  c.peerClosed = c.peerClosed || ended;
  progress(c);
  // A client that stopped sending in the middle of a request has left.
  if (c.peerClosed && (c.phase == Phase::head || c.phase == Phase::body)) c.dead = true;
}

void HttpServer::Impl::progress(Connection& c) {
  while (!c.dead) {
    if (c.phase == Phase::head) {
      std::size_t end = headEnd(c.in, c.scanned > 2 ? c.scanned - 2 : 0);
      if (end == std::string::npos) {
        c.scanned = c.in.size();
        if (c.in.size() > options.maxHeadBytes) {
          return refuse(c, HttpResponse::text(431, "the request's head is too large\n"));
        }
        if (c.idle && !c.in.empty()) {
          c.idle = false;
          c.deadline = now() + options.headTimeout;
        }
        return;
      }
      if (end > options.maxHeadBytes)
        return refuse(c, HttpResponse::text(431, "the request's head is too large\n"));
      c.request = HttpRequest();
      c.request.peer = c.peer;
      c.request.secure = c.io->secure();
      Head head = parseHead(std::string_view(c.in).substr(0, end), c.request);
      c.in.erase(0, end);
      c.scanned = 0;
      c.idle = false;
      if (head.error != 0) return refuse(c, HttpResponse::text(head.error, "the request is malformed\n"));
      if (options.trustProxy) forwarded(c.request);
      c.keepAlive = head.keepAlive;
      if (options.screen) {
        std::optional<HttpResponse> refusal = options.screen(c.request);
        if (refusal) return refuse(c, std::move(*refusal));
      }
      c.screened = true;
      if (head.chunked) return refuse(c, HttpResponse::text(411, "send the body with a Content-Length\n"));
      if (head.contentLength > options.maxBodyBytes) {
        return refuse(c, HttpResponse::text(413, "request body too large\n"));
      }
      c.bodyLength = head.contentLength;
      c.phase = Phase::body;
      auto allowed = std::chrono::milliseconds(c.bodyLength * 1000 /
                                               std::max<std::size_t>(1, options.slowestBodyBytesPerSecond));
      c.deadline = now() + std::max(options.bodyTimeout, allowed);
      if (head.expectContinue && c.bodyLength > 0 && c.in.empty()) {
        constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        if (c.io->write(kContinue.data(), kContinue.size()) != static_cast<long>(kContinue.size()))
          c.dead = true;
      }
      continue;
    }
    if (c.phase == Phase::body) {
      if (c.in.size() < c.bodyLength) return;
      c.request.body = c.in.substr(0, c.bodyLength);
      c.in.erase(0, c.bodyLength);
      c.phase = Phase::working;
      c.deadline = HttpClock::time_point::max();
      watch(c, 0);
      {
        std::lock_guard<std::mutex> guard(jobMutex);
        jobs.emplace_back(c.key, std::move(c.request));
      }
      jobWake.notify_one();
      return;
    }
    return;
  }
}

std::string HttpServer::Impl::serialize(const HttpResponse& response, bool keepAlive) const {
  std::string out =
      "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
  auto add = [&](const HttpHeaders& headers) {
    for (const auto& [name, value] : headers) {
      if (!safeHeaderText(name) || !safeHeaderText(value)) continue;
      out += name;
      out += ": ";
      out += value;
      out += "\r\n";
    }
  };
  // A header the answer sets itself takes the place of the common one of that name.
  HttpHeaders common;
  for (const auto& header : options.commonHeaders) {
    if (std::none_of(response.headers.begin(), response.headers.end(),
                     [&](const auto& own) { return equalsIgnoringCase(own.first, header.first); }))
      common.push_back(header);
  }
  add(common);
  add(response.headers);
  if (response.stream) {
    out += "Transfer-Encoding: chunked\r\n";
  } else if (response.status != 204) {
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  }
  if (!keepAlive) out += "Connection: close\r\n";
  out += "\r\n";
  if (!response.stream) out += response.body;
  return out;
}

void HttpServer::Impl::refuse(Connection& c, HttpResponse response) {
  // The rest of the request is never read: the connection closes after the answer.
  c.keepAlive = false;
  c.in.clear();
  if (response.stream) response.stream.reset();
  answer(c, std::move(response));
}

void HttpServer::Impl::answer(Connection& c, HttpResponse response) {
  bool keepAlive = c.keepAlive && !c.peerClosed && !response.stream && !stopping;
  c.keepAlive = keepAlive;
  c.out = serialize(response, keepAlive);
  c.sent = 0;
  c.stream = std::move(response.stream);
  c.phase = Phase::writing;
  auto allowed = std::chrono::milliseconds(c.out.size() * 1000 /
                                           std::max<std::size_t>(1, options.slowestWriteBytesPerSecond));
  c.deadline = now() + std::max(options.writeTimeout, allowed);
  flush(c);
}

void HttpServer::Impl::flush(Connection& c) {
  while (!c.dead && c.sent < c.out.size()) {
    long n = c.io->write(c.out.data() + c.sent, c.out.size() - c.sent);
    if (n == HttpTransport::kWouldBlock) {
      watch(c, c.phase == Phase::streaming ? EPOLLIN | EPOLLOUT : EPOLLOUT);
      return;
    }
    if (n <= 0) {
      c.dead = true;
      return;
    }
    c.sent += static_cast<std::size_t>(n);
  }
  if (c.dead) return;
  c.out.clear();
  c.sent = 0;
  written(c);
}

void HttpServer::Impl::written(Connection& c) {
  if (c.phase == Phase::writing && c.stream) {
    c.phase = Phase::streaming;
    c.deadline = HttpClock::time_point::max();
    {
      std::lock_guard<std::mutex> guard(c.stream->mutex_);
      c.stream->wake_ = [this] { wake(); };
    }
    watch(c, EPOLLIN);
    return pullStream(c);
  }
  if (c.phase == Phase::streaming) {
    c.deadline = HttpClock::time_point::max();
    if (!c.streamEnding) return watch(c, EPOLLIN);
    closeStream(c);  // its last bytes have gone
  } else if (c.phase == Phase::writing && c.keepAlive) {
    c.phase = Phase::head;
    c.idle = true;
    c.deadline = now() + options.idleTimeout;
    watch(c, EPOLLIN);
    // A request that came right behind the last one is taken now.
    if (!c.in.empty() || c.io->buffered()) {
      c.idle = false;
      c.deadline = now() + options.headTimeout;
      readInput(c);
    }
    return;
  }
  // Done with the connection: say so, and read what the client still sends so that closing
  // never throws away the answer on its way.
  c.phase = Phase::lingering;
  c.deadline = now() + options.lingerTimeout;
  ::shutdown(c.fd, SHUT_WR);
  watch(c, EPOLLIN);
  readInput(c);
}

void HttpServer::Impl::pullStream(Connection& c) {
  if (c.dead || c.phase != Phase::streaming || c.streamEnding) return;
  bool wasEmpty = c.sent >= c.out.size();
  {
    std::lock_guard<std::mutex> guard(c.stream->mutex_);
    if (!c.stream->pending_.empty()) {
      c.out.erase(0, c.sent);
      c.sent = 0;
      c.out += c.stream->pending_;
      c.stream->pending_.clear();
    }
    if (c.stream->ended_) {
      c.out += kStreamEnd;
      c.streamEnding = true;
    }
  }
  if (c.out.size() - c.sent > options.maxStreamBuffer) {
    c.dead = true;  // the client takes far less than it is sent
    return;
  }
  if (c.sent >= c.out.size()) return;
  if (wasEmpty) c.deadline = now() + options.drainTimeout;
  flush(c);
}

void HttpServer::Impl::closeStream(Connection& c) {
  if (!c.stream) return;
  {
    std::lock_guard<std::mutex> guard(c.stream->mutex_);
    c.stream->closed_ = true;
    c.stream->closedAt_ = now();
    c.stream->wake_ = nullptr;
    c.stream->pending_.clear();
  }
  c.stream.reset();
}

void HttpServer::Impl::takeAnswers() {
  std::deque<std::pair<std::uint64_t, HttpResponse>> answers;
  {
    std::lock_guard<std::mutex> guard(doneMutex);
    answers.swap(done);
  }
  for (auto& [key, response] : answers) {
    auto it = connections.find(key);
    if (it == connections.end() || it->second->dead || it->second->phase != Phase::working) {
      if (response.stream) {
        std::lock_guard<std::mutex> guard(response.stream->mutex_);
        response.stream->closed_ = true;
        response.stream->closedAt_ = now();
      }
      continue;
    }
    answer(*it->second, std::move(response));
  }
  for (auto& [key, c] : connections) {
    if (!c->dead && c->phase == Phase::streaming) pullStream(*c);
  }
}

void HttpServer::Impl::sweep(bool all) {
  for (auto it = connections.begin(); it != connections.end();) {
    Connection& c = *it->second;
    if (!c.dead && !all) {
      ++it;
      continue;
    }
    closeStream(c);
    ::close(c.fd);  // also takes it out of the epoll set
    --open;
    it = connections.erase(it);
  }
}

}  // namespace quillbox::web
