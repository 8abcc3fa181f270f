#pragma once

#include <string>
#include <string_view>

namespace quillbox {

// Whether U+2028 and U+2029 are written escaped: JSON allows them raw, but a script that embeds the
// text, or reads it line by line, may take them for line ends.
enum class LineSeparators { raw, escaped };

// Appends text as a JSON string, quotes included, valid JSON whatever the bytes: the quote, the
// backslash and control characters escaped; each ill-formed UTF-8 sequence (its longest
// well-formed start, or a byte that starts none) as one U+FFFD. The result never holds a raw
// newline, so it can travel as one line of an event stream.
void appendJsonText(std::string& out, std::string_view text, LineSeparators separators = LineSeparators::raw);

}  // namespace quillbox
