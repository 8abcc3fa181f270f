#pragma once

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
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
  TestHeaders headers;

  std::string header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
      if (boost::beast::iequals(key, boost::beast::string_view(name.data(), name.size()))) return value;
    }
    return {};
  }
};

// A plain HTTP/1.1 client of a server on 127.0.0.1, one connection per request, on Beast.
class TestHttpClient {
 public:
  explicit TestHttpClient(int port, TestHeaders defaults = {})
      : port_(port), defaults_(std::move(defaults)) {}

  TestReply get(const std::string& target, const TestHeaders& headers = {}) {
    return ask("GET", target, headers, {}, {});
  }
  TestReply post(const std::string& target, const std::string& body, const std::string& type,
                 const TestHeaders& headers = {}) {
    return ask("POST", target, headers, body, type);
  }
  TestReply put(const std::string& target, const std::string& body, const TestHeaders& headers = {}) {
    return ask("PUT", target, headers, body, {});
  }

  // GETs target and hands the answer's body to take piece by piece, until it returns false or the
  // answer ends (or nothing comes for 30 s); the answer's status, or -1.
  int stream(const std::string& target, const TestHeaders& headers,
             const std::function<bool(std::string_view)>& take) {
    namespace http = boost::beast::http;
    boost::beast::error_code ec;
    boost::asio::io_context ioc;
    boost::beast::tcp_stream socket(ioc);
    if (!send(socket, request("GET", target, headers, {}, {}))) return -1;
    boost::beast::flat_buffer buffer;
    http::response_parser<http::buffer_body> parser;
    socket.expires_after(std::chrono::seconds(30));
    http::read_header(socket, buffer, parser, ec);
    if (ec) return -1;
    const int status = static_cast<int>(parser.get().result_int());
    while (!parser.is_done()) {
      char piece[8192];
      parser.get().body().data = piece;
      parser.get().body().size = sizeof piece;
      socket.expires_after(std::chrono::seconds(30));
      http::read_some(socket, buffer, parser, ec);
      if (ec == http::error::need_buffer) ec = {};
      if (ec) break;
      if (!take(std::string_view(piece, sizeof piece - parser.get().body().size))) break;
    }
    return status;
  }

 private:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;

  Request request(const std::string& method, const std::string& target, const TestHeaders& headers,
                  const std::string& body, const std::string& type) const {
    Request request(boost::beast::http::string_to_verb(method), target, 11);
    request.set(boost::beast::http::field::host, "127.0.0.1:" + std::to_string(port_));
    for (const auto& [name, value] : defaults_) request.set(name, value);
    for (const auto& [name, value] : headers) request.set(name, value);
    if (!type.empty()) request.set(boost::beast::http::field::content_type, type);
    request.body() = body;
    if (method != "GET") request.content_length(body.size());
    return request;
  }

  bool send(boost::beast::tcp_stream& socket, const Request& request) const {
    boost::beast::error_code ec;
    socket.expires_after(std::chrono::seconds(30));
    socket.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                  static_cast<unsigned short>(port_)),
                   ec);
    if (!ec) boost::beast::http::write(socket, request, ec);
    return !ec;
  }

  TestReply ask(const std::string& method, const std::string& target, const TestHeaders& headers,
                const std::string& body, const std::string& type) {
    namespace http = boost::beast::http;
    TestReply reply;
    boost::asio::io_context ioc;
    boost::beast::tcp_stream socket(ioc);
    if (!send(socket, request(method, target, headers, body, type))) return reply;
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> response;
    boost::beast::error_code ec;
    http::read(socket, buffer, response, ec);
    if (ec) return reply;
    reply.status = static_cast<int>(response.result_int());
    reply.body = std::move(response.body());
    for (const auto& field : response)
      reply.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    return reply;
  }

  int port_;
  TestHeaders defaults_;
};

}  // namespace quillbox::web
