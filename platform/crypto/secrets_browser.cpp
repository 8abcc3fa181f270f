// sha256Hex and randomHex for the WebAssembly build, which has no OpenSSL. (The ETags of the cloud
// endpoint are these digests; the random bits name the device's writes, and nothing secret is made here.)
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "base/hex.h"
#include "platform/crypto/secrets.h"
#include "platform/crypto/sha256.h"

namespace quillbox {

std::string sha256Hex(std::string_view bytes) { return portableSha256Hex(bytes); }

Result<std::string> randomHex(std::size_t size) {
  // The browser's crypto.getRandomValues, 256 bytes at most a call.
  std::vector<unsigned char> bytes(size);
  for (std::size_t at = 0; at < size; at += 256) {
    if (getentropy(bytes.data() + at, std::min<std::size_t>(256, size - at)) != 0)
      return Status::Error("the browser's random source gave no random bytes");
  }
  return hexOf(std::string_view(reinterpret_cast<const char*>(bytes.data()), size));
}

}  // namespace quillbox
