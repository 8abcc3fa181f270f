#include "platform/transports/https_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "platform/sigpipe_blocked.h"

namespace quillbox {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxTimeoutMs = 600000;
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
  return out;
}

bool parseNumber(std::string_view text, int lowest, int highest, int& out) {
  int value = 0;
  auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || problem != std::errc() || end != text.data() + text.size()) return false;
  if (value < lowest || value > highest) return false;
  out = value;
  return true;
}

bool isIpAddress(const std::string& host) {
  unsigned char bytes[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

// The reason OpenSSL gives for its last failure, its queue emptied.
std::string sslReason() {
  unsigned long code = ERR_get_error();
  std::string reason = code == 0                       ? std::string()
                       : ERR_reason_error_string(code) ? ERR_reason_error_string(code)
                                                       : "";
  ERR_clear_error();
  return reason;
}

}  // namespace

std::string HttpsAddress::text() const {
  std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return "https://" + shown + ":" + std::to_string(port) + path;
}

Result<HttpsAddress> parseHttpsAddress(std::string_view text) {
  auto bad = [&](const std::string& why) {
    return Status::Invalid("bad cloud address \"" + std::string(text) + "\": " + why);
  };
  constexpr std::string_view kScheme = "https://";
  if (text.substr(0, kScheme.size()) != kScheme) return bad("it must start with https://");
  std::string_view rest = text.substr(kScheme.size());
  if (rest.find('#') != std::string_view::npos) return bad("it may not have a fragment");
  std::string_view query;
  if (std::size_t question = rest.find('?'); question != std::string_view::npos) {
    query = rest.substr(question + 1);
    rest = rest.substr(0, question);
  }
  std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? "/" : rest.substr(slash);
  if (authority.find('@') != std::string_view::npos) return bad("it may not hold a user name or password");
  HttpsAddress address;
  std::string_view portText;
  if (authority.starts_with("[")) {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return bad("an IPv6 address needs its closing ]");
    address.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(":")) return bad("stray characters after the host");
    if (!after.empty()) portText = after.substr(1);
    if (!isIpAddress(address.host) || address.host.find(':') == std::string::npos)
      return bad("not an IPv6 address in brackets");
  } else {
    std::size_t colon = authority.find(':');
    address.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    for (char c : address.host) {
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'))
        return bad("not a host name");
    }
  }
  if (address.host.empty()) return bad("it names no host");
  if (authority.find(':') != std::string_view::npos && !parseNumber(portText, 1, 65535, address.port))
    return bad("the port is not a number from 1 to 65535");
  if (!path.ends_with("/")) return bad("its path must end with /");
  for (char c : path) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f || c == '%')
      return bad("its path holds characters it may not");
  }
  address.path = std::string(path);
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    constexpr std::string_view kTimeout = "timeout_ms=";
    if (!pair.starts_with(kTimeout) ||
        !parseNumber(pair.substr(kTimeout.size()), 1, kMaxTimeoutMs, address.timeoutMs))
      return bad("the only parameter is timeout_ms, from 1 to " + std::to_string(kMaxTimeoutMs));
  }
  return address;
}

std::string_view HttpsReply::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return value;
  }
  return {};
}

struct HttpsClient::Impl {
  HttpsAddress address;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  int fd = -1;
  Clock::time_point deadline;

  ~Impl() {
    disconnect();
    if (context) SSL_CTX_free(context);
  }

  void disconnect() {
    if (ssl) SSL_free(ssl);
    ssl = nullptr;
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  Status trouble(const std::string& what) const {
    return Status::Unavailable("cannot reach the cloud server at " + address.text() + ": " + what);
  }
  Status timedOut() const {
    return Status::Unavailable("the cloud server at " + address.text() + " did not answer within " +
                               std::to_string(address.timeoutMs) + " ms");
  }

  // Waits until fd is ready for events; false once the deadline has passed.
  bool waitFor(short events) {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd one{fd, events, 0};
      int ready = ::poll(&one, 1, static_cast<int>(std::min<long long>(left, 1000)));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  Status connectSocket() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string port = std::to_string(address.port);
    if (int failed = ::getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found); failed != 0)
      return trouble(gai_strerror(failed));
    std::string reason = "no address";
    for (addrinfo* item = found; item != nullptr && fd < 0; item = item->ai_next) {
      int s = ::socket(item->ai_family, item->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, item->ai_protocol);
      if (s < 0) continue;
      fd = s;
      if (::connect(s, item->ai_addr, item->ai_addrlen) != 0 && errno != EINPROGRESS) {
        reason = std::strerror(errno);
      } else if (!waitFor(POLLOUT)) {
        reason = "no connection within " + std::to_string(address.timeoutMs) + " ms";
      } else {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error == 0) break;
        reason = std::strerror(error);
      }
      ::close(s);
      fd = -1;
    }
    ::freeaddrinfo(found);
    if (fd < 0) return trouble(reason);
    int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return Status::Ok();
  }

  // Runs an OpenSSL call until it is done, waiting on the socket as it asks. The call's result
  // (> 0 done), or <= 0 with failure set.
  template <class Call>
  int drive(Call call, Status& failure) {
    for (;;) {
      ERR_clear_error();
      int result = call();
      if (result > 0) return result;
      int error = SSL_get_error(ssl, result);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        if (!waitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) {
          failure = timedOut();
          return -1;
        }
        continue;
      }
      if (error == SSL_ERROR_ZERO_RETURN) return 0;
      std::string reason = sslReason();
      if (error == SSL_ERROR_SYSCALL && reason.empty())
        reason = result == 0 || errno == 0 ? "the server closed the connection" : std::strerror(errno);
      failure = trouble(reason.empty() ? "the secure connection failed" : reason);
      return -1;
    }
  }

  Status connect() {
    if (Status connected = connectSocket(); !connected.ok()) return connected;
    ssl = SSL_new(context);
    if (!ssl || SSL_set_fd(ssl, fd) != 1) {
      disconnect();
      return Status::Error("cannot start a secure connection to " + address.text());
    }
    if (isIpAddress(address.host)) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.host.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl, address.host.c_str());
      SSL_set1_host(ssl, address.host.c_str());
    }
    Status failure = Status::Ok();
    if (drive([&] { return SSL_connect(ssl); }, failure) <= 0) {
      long verified = SSL_get_verify_result(ssl);
      if (verified != X509_V_OK) {
        failure = trouble(std::string("its certificate does not verify (") +
                          X509_verify_cert_error_string(verified) +
                          "); give the certificate that signed it with --cloud-ca");
      } else if (failure.ok()) {
        failure = trouble("the secure connection closed during its set-up");
      }
      disconnect();
      return failure;
    }
    return Status::Ok();
  }

  // Reads the answer to one request. received tells whether any byte of it came.
  Result<HttpsReply> readReply(bool& received) {
    std::string in;
    char buffer[kReadChunk];
    std::size_t headEnd = std::string::npos;
    while (headEnd == std::string::npos) {
      Status failure = Status::Ok();
      int n = drive([&] { return SSL_read(ssl, buffer, sizeof buffer); }, failure);
      if (n <= 0) return failure.ok() ? trouble("the server closed the connection") : failure;
      received = true;
      in.append(buffer, static_cast<std::size_t>(n));
      headEnd = in.find("\r\n\r\n");
      if (headEnd == std::string::npos && in.size() > kMaxHeadBytes)
        return Status::Error("the cloud server at " + address.text() + " sent an answer that is not HTTP");
    }
    HttpsReply reply;
    std::string_view head(in.data(), headEnd);
    std::size_t lineEnd = head.find("\r\n");
    std::string_view statusLine = head.substr(0, lineEnd);
    if (!statusLine.starts_with("HTTP/1.") || statusLine.size() < 12 ||
        !parseNumber(statusLine.substr(9, 3), 100, 599, reply.status))
      return Status::Error("the cloud server at " + address.text() + " sent an answer that is not HTTP");
    bool close = statusLine.starts_with("HTTP/1.0");
    std::size_t length = 0;
    head.remove_prefix(lineEnd == std::string_view::npos ? head.size() : lineEnd + 2);
    while (!head.empty()) {
      std::size_t end = head.find("\r\n");
      std::string_view line = head.substr(0, end);
      head.remove_prefix(end == std::string_view::npos ? head.size() : end + 2);
      std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      std::string name = lowered(line.substr(0, colon));
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
      if (name == "content-length") {
        auto [stop, problem] = std::from_chars(value.data(), value.data() + value.size(), length);
        if (problem != std::errc() || stop != value.data() + value.size())
          return Status::Error("the cloud server at " + address.text() + " sent a bad Content-Length");
      } else if (name == "connection" && lowered(value).find("close") != std::string::npos) {
        close = true;
      } else if (name == "transfer-encoding") {
        return Status::Error("the cloud server at " + address.text() + " sent a chunked answer");
      }
      reply.headers.emplace_back(std::move(name), std::string(value));
    }
    if (reply.status == 204 || reply.status == 304) length = 0;
    reply.body = in.substr(headEnd + 4);
    while (reply.body.size() < length) {
      Status failure = Status::Ok();
      std::size_t want = std::min(sizeof buffer, length - reply.body.size());
      int n = drive([&] { return SSL_read(ssl, buffer, static_cast<int>(want)); }, failure);
      if (n <= 0) return failure.ok() ? trouble("the answer was cut short") : failure;
      reply.body.append(buffer, static_cast<std::size_t>(n));
    }
    if (reply.body.size() > length)
      return Status::Error("the cloud server at " + address.text() + " sent more than it said");
    if (close) disconnect();
    return reply;
  }

  Result<HttpsReply> once(const std::string& request, std::string_view body, bool& received) {
    if (!ssl) {
      if (Status connected = connect(); !connected.ok()) return connected;
    }
    Status failure = Status::Ok();
    for (std::string_view part : {std::string_view(request), body}) {
      while (!part.empty()) {
        int chunk = static_cast<int>(std::min<std::size_t>(part.size(), 1 << 20));
        int n = drive([&] { return SSL_write(ssl, part.data(), chunk); }, failure);
        if (n <= 0) return failure.ok() ? trouble("the server closed the connection") : failure;
        part.remove_prefix(static_cast<std::size_t>(n));
      }
    }
    return readReply(received);
  }
};

HttpsClient::HttpsClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HttpsClient::~HttpsClient() = default;

const HttpsAddress& HttpsClient::address() const { return impl_->address; }

Result<std::unique_ptr<HttpsClient>> HttpsClient::open(HttpsAddress address, const std::string& caFile) {
  auto impl = std::make_unique<Impl>();
  impl->address = std::move(address);
  impl->context = SSL_CTX_new(TLS_client_method());
  if (!impl->context) return Status::Error("cannot set up secure connections: " + sslReason());
  SSL_CTX_set_min_proto_version(impl->context, TLS1_2_VERSION);
  SSL_CTX_set_verify(impl->context, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_mode(impl->context, SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_default_verify_paths(impl->context);
  if (!caFile.empty() && SSL_CTX_load_verify_locations(impl->context, caFile.c_str(), nullptr) != 1) {
    std::string reason = sslReason();
    return Status::Error("cannot read the certificates in " + caFile + ": " +
                         (reason.empty() ? "not a certificate file" : reason));
  }
  return std::unique_ptr<HttpsClient>(new HttpsClient(std::move(impl)));
}

Result<HttpsReply> HttpsClient::request(std::string_view method, std::string_view target,
                                        const HttpsHeaders& headers, std::string_view body) {
  Impl& s = *impl_;
  SigpipeBlocked blocked;
  s.deadline = Clock::now() + std::chrono::milliseconds(s.address.timeoutMs);
  std::string host =
      s.address.host.find(':') != std::string::npos ? "[" + s.address.host + "]" : s.address.host;
  std::string head = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: " + host + ":" +
                     std::to_string(s.address.port) + "\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  if (!body.empty() || method == "PUT" || method == "POST")
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  head += "\r\n";
  bool reused = s.ssl != nullptr;
  bool received = false;
  Result<HttpsReply> reply = s.once(head, body, received);
  // A kept connection the server closed while idle is opened again, once, when no byte of the
  // answer came.
  if (!reply.ok() && reused && !received && reply.status().code() == Status::Code::unavailable &&
      Clock::now() < s.deadline) {
    s.disconnect();
    reply = s.once(head, body, received);
  }
  if (!reply.ok()) s.disconnect();
  return reply;
}

}  // namespace quillbox
