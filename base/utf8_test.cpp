#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace quillbox {
namespace {

using namespace std::string_literals;

// Each text: the length of the character at its start (0: none), and whether the whole text is UTF-8
// ("+") or not ("-"). The cases after the NUL: a lone continuation byte, overlong forms (two, three and
// four bytes) around the first three-byte character, a surrogate and the last character before them,
// past U+10FFFF, a character cut off or with a bad continuation, a bad last byte after a long ASCII run.
TEST(Utf8, WellFormedCharactersOnly) {
  std::string got;
  for (const std::string& text :
       {""s, "plain ascii text long enough for whole words"s, "\u00e9\u20ac\U0001D11E"s, "\xf4\x8f\xbf\xbf"s,
        "\0inside"s, "\x80"s, "\xc0\xaf"s, "\xe0\x80\xaf"s, "\xe0\xa0\x80"s, "\xf0\x80\x80\xaf"s,
        "\xed\xa0\x80"s, "\xed\x9f\xbf"s, "\xf4\x90\x80\x80"s, "\xf5\x80\x80\x80"s, "\xe2\x82"s, "\xe2\x82("s,
        "0123456789abcdef\xc3"s, "\xff"s})
    got += std::to_string(utf8CharLength(text, 0)) + (isValidUtf8(text) ? "+ " : "- ");
  EXPECT_EQ(got, "0+ 1+ 2+ 4+ 1+ 0- 0- 0- 3+ 0- 0- 3+ 0- 0- 0- 0- 1- 0- ");
  EXPECT_EQ(utf8CharLength("ab", 2), 0u);
}

}  // namespace
}  // namespace quillbox
