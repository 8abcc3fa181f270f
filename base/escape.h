#pragma once

// Texts made safe to show on a terminal or in a message, whatever bytes they hold.

#include <string>
#include <string_view>

namespace quillbox {

// The text with control characters and bytes that are not well-formed UTF-8 shown as escapes (\n, \t,
// \r, \x1b, \x85 for a C1 control, \xff for a bad byte), never sent raw. Everything else is kept.
std::string terminalSafe(std::string_view text);

// The text between double quotes, made terminal-safe: for naming a path, a key or a host in a message.
std::string inQuotes(std::string_view text);

}  // namespace quillbox
