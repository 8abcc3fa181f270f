#pragma once

// Whole numbers typed by a person or found in an address: digits only.

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillbox {

// The value of text when it is one or more ASCII digits and nothing else (no sign, no spaces; leading
// zeros allowed) and at most max; nothing otherwise, however many digits it has.
std::optional<std::uint64_t> parseDecimal(std::string_view text, std::uint64_t max);

}  // namespace quillbox
