#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace quillbox {

// Digests and random secrets, through OpenSSL (the WebAssembly build has sha256Hex and randomHex only,
// from sha256.h and the browser's random source).

// The SHA-256 digest of bytes, as 64 lower-case hex digits.
std::string sha256Hex(std::string_view bytes);

// size bytes from the system's cryptographic random source, as 2 * size lower-case hex digits.
// Fails when the source cannot give them.
Result<std::string> randomHex(std::size_t size);

// Compares two secrets (or their digests) in a time that does not depend on where they differ.
bool sameSecretBytes(std::string_view a, std::string_view b);

// True when text is exactly size * 2 hex digits, lower or upper case.
bool isHexOfSize(std::string_view text, std::size_t size);

}  // namespace quillbox
