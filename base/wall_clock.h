#pragma once

// The time of day as stored with versions and cloud writes.

#include <chrono>
#include <cstdint>

namespace quillbox {

// Milliseconds since 1970-01-01T00:00:00Z by the system clock.
inline std::int64_t millisecondsSince1970() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace quillbox
