#pragma once

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF. Any bytes may be given.

#include <cstddef>
#include <string_view>

namespace quillbox {

// True when all of text is well-formed UTF-8 ("" is).
bool isValidUtf8(std::string_view text);

// The length in bytes of the character that starts at text[at]: 1 for ASCII, 2 to 4 for a well-formed
// sequence, 0 when no well-formed character starts there (a stray or bad byte, a cut-off sequence) or at is
// past the end.
std::size_t utf8CharLength(std::string_view text, std::size_t at);

// Where no character starts at text[at]: the bytes of the one ill-formed sequence there, the longest
// start of a well-formed character (e2 82 of a cut-off euro sign) or else the one byte, so that each
// counts as one replacement character. 0 past the end.
std::size_t utf8IllFormedLength(std::string_view text, std::size_t at);

}  // namespace quillbox
