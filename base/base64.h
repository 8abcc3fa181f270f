#pragma once

// Standard base64 (RFC 4648 alphabet, "=" padding), for carrying any bytes in a text document.

#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

std::string toBase64(std::string_view bytes);

// The bytes of padded standard base64; nothing when text is anything else (whitespace, a missing
// or misplaced "=", unused bits that are not zero: one text means one string).
std::optional<std::string> fromBase64(std::string_view text);

}  // namespace quillbox
