// sha256Hex for the WebAssembly build, which has no OpenSSL. (The ETags of the cloud endpoint are these
// digests; nothing secret is made here.)
#include "platform/crypto/secrets.h"
#include "platform/crypto/sha256.h"

namespace quillbox {

std::string sha256Hex(std::string_view bytes) { return portableSha256Hex(bytes); }

}  // namespace quillbox
