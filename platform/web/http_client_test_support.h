#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/transports/https_client.h"

namespace quillbox::web {

// One request to a server on 127.0.0.1 through the client the devices use, over plain HTTP, or over
// TLS trusting the certificate in the file ca: the answer, or status 0 when none came. Host is
// replaced when headers name one.
inline HttpsReply fetch(int port, const std::string& method, const std::string& target,
                        const HttpsHeaders& headers = {}, const std::string& body = {},
                        const std::string& ca = {}) {
  auto address = parseHttpsAddress((ca.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") +
                                   std::to_string(port) + "/?timeout_ms=30000");
  auto client = HttpsClient::open(address.value(), ca);
  Result<HttpsReply> reply = client.value()->request(method, target, headers, body);
  return reply.ok() ? reply.value() : HttpsReply{};
}

// Makes cert.pem and key.pem in dir with the openssl command, for names ("DNS:x.test,IP:127.0.0.1"):
// false when it cannot.
inline bool makeCertificate(const std::filesystem::path& dir, const std::string& names) {
  const std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=x "
      "-addext subjectAltName=" +
      names + " -keyout " + (dir / "key.pem").string() + " -out " + (dir / "cert.pem").string() +
      " 2>/dev/null";
  return std::system(make.c_str()) == 0;
}

// One client connection, written and read byte for byte as a test wants, that first sends sent.
class RawClient {
 public:
  explicit RawClient(int port, const std::string& sent = {}) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 64 * 1024;  // so that a client that reads nothing is soon full
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    (void)::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    send(sent);
  }
  ~RawClient() { ::close(fd_); }

  void send(const std::string& text) { (void)::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
  // Sends text and gives back the answer to it.
  std::string ask(const std::string& text) { return send(text), answer(); }

  // What arrives until `until` has arrived (or the connection closed): "" when nothing came in 10 s.
  std::string read(std::string_view until = "\r\n\r\n") {
    while (received_.find(until) == std::string::npos && more()) continue;
    std::size_t end = received_.find(until);
    std::string got = received_.substr(0, end == std::string::npos ? received_.size() : end + until.size());
    received_.erase(0, got.size());
    return got;
  }
  // The status line and body of the next answer; "closed" when none came.
  std::string answer() {
    std::string head = read();
    if (head.empty()) return "closed";
    const std::size_t at = head.find("Content-Length: ");
    const std::size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
    while (received_.size() < length && more()) continue;
    std::string body = received_.substr(0, length);
    received_.erase(0, body.size());
    return head.substr(9, head.find('\r') - 9) + (body.empty() ? "" : " " + body);
  }
  // True once the server has closed the connection (what it sent before is skipped).
  bool closed() {
    while (more()) received_.clear();
    return closed_;
  }

 private:
  bool more() {
    pollfd ready{fd_, POLLIN, 0};
    if (closed_ || ::poll(&ready, 1, 10000) != 1) return false;
    char buffer[65536];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    closed_ = n <= 0;
    if (!closed_) received_.append(buffer, static_cast<std::size_t>(n));
    return !closed_;
  }
  int fd_;
  bool closed_ = false;
  std::string received_;
};

}  // namespace quillbox::web
