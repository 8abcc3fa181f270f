#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillbox::web {

using TestHeaders = std::vector<std::pair<std::string, std::string>>;

// An answer as a test sees it: status -1 when none came.
struct TestReply {
  int status = -1;
  std::string body;
  boost::beast::http::fields headers;
  std::string header(std::string_view name) const { return std::string(headers[{name.data(), name.size()}]); }
};

// A plain HTTP/1.1 client of a server on 127.0.0.1, one connection per request, on Beast. Every read
// gives up after 30 s.
class TestHttpClient {
 public:
  explicit TestHttpClient(int port, TestHeaders defaults = {})
      : port_(port), defaults_(std::move(defaults)) {}

  TestReply get(const std::string& target, const TestHeaders& headers = {}) {
    return ask("GET", target, "", headers);
  }
  TestReply post(const std::string& target, const std::string& body, const std::string& type,
                 TestHeaders headers = {}) {
    headers.emplace_back("Content-Type", type);
    return ask("POST", target, body, headers);
  }
  TestReply put(const std::string& target, const std::string& body) { return ask("PUT", target, body, {}); }

  // Sends a request; take, when given, is handed the answer's body piece by piece until it returns
  // false (the reply then holds no body).
  TestReply ask(const std::string& method, const std::string& target, const std::string& body,
                const TestHeaders& headers, const std::function<bool(std::string_view)>& take = {}) {
    namespace http = boost::beast::http;
    http::request<http::string_body> request(http::string_to_verb(method), target, 11);
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port_));
    for (const auto& [name, value] : defaults_) request.set(name, value);
    for (const auto& [name, value] : headers) request.set(name, value);
    request.body() = body;
    if (method != "GET") request.content_length(body.size());
    boost::asio::io_context ioc;
    boost::beast::tcp_stream socket(ioc);
    boost::beast::flat_buffer buffer;
    http::response_parser<http::buffer_body> parser;
    parser.body_limit(std::uint64_t{1} << 40);
    boost::beast::error_code ec;
    socket.expires_after(std::chrono::seconds(30));
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)}, ec);
    if (!ec) http::write(socket, request, ec);
    if (!ec) http::read_header(socket, buffer, parser, ec);
    TestReply reply;
    if (ec) return reply;
    reply.status = static_cast<int>(parser.get().result_int());
    reply.headers = parser.get().base();
    while (!parser.is_done()) {
      char piece[8192];
      parser.get().body().data = piece;
      parser.get().body().size = sizeof piece;
      socket.expires_after(std::chrono::seconds(30));
      http::read_some(socket, buffer, parser, ec);
      if (ec && ec != http::error::need_buffer) break;
      std::string_view got(piece, sizeof piece - parser.get().body().size);
      if (!take) reply.body += got;
      if (take && !take(got)) break;
    }
    return reply;
  }

 private:
  int port_;
  TestHeaders defaults_;
};

}  // namespace quillbox::web
