#include <charconv>

#include "platform/web/http_server.h"
#include "platform/web/http_stream_access.h"

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

void HttpStreamAccess::wakeWith(HttpStream& stream, std::function<void()> wake) {
  std::lock_guard<std::mutex> guard(stream.mutex_);
  stream.wake_ = std::move(wake);
}

HttpStreamAccess::Taken HttpStreamAccess::take(HttpStream& stream) {
  std::lock_guard<std::mutex> guard(stream.mutex_);
  Taken taken{std::move(stream.pending_), stream.ended_};
  stream.pending_.clear();
  return taken;
}

std::size_t HttpStreamAccess::waiting(HttpStream& stream) {
  std::lock_guard<std::mutex> guard(stream.mutex_);
  return stream.pending_.size();
}

void HttpStreamAccess::close(HttpStream& stream) {
  std::lock_guard<std::mutex> guard(stream.mutex_);
  stream.closed_ = true;
  stream.closedAt_ = HttpClock::now();
  stream.wake_ = nullptr;
  stream.pending_.clear();
}

}  // namespace quillbox::web
