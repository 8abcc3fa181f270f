#pragma once

#include <string>
#include <string_view>

namespace quillbox {

// The SHA-256 of FIPS 180-4, written out, for the builds that have no OpenSSL (the WebAssembly one
// takes it as its sha256Hex). As 64 lower-case hex digits, the same as sha256Hex's.
std::string portableSha256Hex(std::string_view bytes);

}  // namespace quillbox
