#pragma once

#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <string>

#include "platform/web/http_connection.h"

namespace quillbox::web {

using UpgradeRequest = boost::beast::http::request<boost::beast::http::string_body>;

// Takes a connection whose request asked for a WebSocket over from its HTTP session: answers the
// upgrade (with the response's protocol and the server's common headers), then carries the
// response's socket on it, keeping the connection's key, peer and standing. The socket reports
// closed when the upgrade fails.
void takeOverAsSocket(ServerCore& server, std::uint64_t key, std::string peer, Standing standing,
                      tcp::socket stream, UpgradeRequest request, HttpResponse response);
void takeOverAsSocket(ServerCore& server, std::uint64_t key, std::string peer, Standing standing,
                      asio::ssl::stream<tcp::socket> stream, UpgradeRequest request, HttpResponse response);

}  // namespace quillbox::web
