#include "platform/web/http_server.h"
#include "platform/web/http_socket_access.h"

namespace quillbox::web {

namespace {

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

}  // namespace

std::optional<std::string> decodePath(std::string_view path) {
  std::string decoded;
  if (!percentDecode(path, false, decoded) || decoded.find('\0') != std::string::npos) return std::nullopt;
  return decoded;
}

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
bool HttpSocket::send(std::string message) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (closed_ || ended_) return false;
  pendingBytes_ += message.size();
  pending_.push_back(std::move(message));
  if (wake_) wake_();
  return true;
}

void HttpSocket::end() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (ended_) return;
  ended_ = true;
  if (wake_) wake_();
}

bool HttpSocket::closed() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return closed_;
}

HttpClock::time_point HttpSocket::closedAt() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return closedAt_;
}

void HttpSocketAccess::wakeWith(HttpSocket& socket, std::function<void()> wake) {
  std::lock_guard<std::mutex> guard(socket.mutex_);
  socket.wake_ = std::move(wake);
}

HttpSocketAccess::Taken HttpSocketAccess::take(HttpSocket& socket) {
  std::lock_guard<std::mutex> guard(socket.mutex_);
  Taken taken{std::move(socket.pending_), socket.ended_};
  socket.pending_.clear();
  socket.pendingBytes_ = 0;
  return taken;
}

std::size_t HttpSocketAccess::waiting(HttpSocket& socket) {
  std::lock_guard<std::mutex> guard(socket.mutex_);
  return socket.pendingBytes_;
}

void HttpSocketAccess::close(HttpSocket& socket) {
  std::lock_guard<std::mutex> guard(socket.mutex_);
  socket.closed_ = true;
  socket.closedAt_ = HttpClock::now();
  socket.wake_ = nullptr;
  socket.pending_.clear();
  socket.pendingBytes_ = 0;
}

}  // namespace quillbox::web
