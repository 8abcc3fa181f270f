#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "platform/web/http_server.h"

namespace quillbox::web {

// The server's side of an HttpSocket: what its connection takes and tells it. Safe from any thread.
struct HttpSocketAccess {
  struct Taken {
    std::deque<std::string> messages;
    bool ended = false;
  };
  // Called (under the socket's lock) whenever something is queued or the socket ends.
  static void wakeWith(HttpSocket& socket, std::function<void()> wake);
  // What waits, taken out of the socket, and whether the socket has ended.
  static Taken take(HttpSocket& socket);
  // How many bytes wait.
  static std::size_t waiting(HttpSocket& socket);
  // The connection has gone: the socket reports closed, and wakes no one.
  static void close(HttpSocket& socket);
};

}  // namespace quillbox::web
