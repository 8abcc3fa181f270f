#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/web/http_server.h"

namespace quillbox::web {

// The server's side of an HttpStream: what its connection takes and tells it. Safe from any thread.
struct HttpStreamAccess {
  struct Taken {
    std::string data;  // chunk-encoded
    bool ended = false;
  };
  // Called (under the stream's lock) whenever something is queued or the stream ends.
  static void wakeWith(HttpStream& stream, std::function<void()> wake);
  // What waits, taken out of the stream, and whether the stream has ended.
  static Taken take(HttpStream& stream);
  // How many bytes wait.
  static std::size_t waiting(HttpStream& stream);
  // The connection has gone: the stream reports closed, and wakes no one.
  static void close(HttpStream& stream);
};

}  // namespace quillbox::web
