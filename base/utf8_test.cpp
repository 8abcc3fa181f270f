#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace quillbox {
namespace {

// Each text: the length of the character at its start (0: none), and whether the whole text is UTF-8.
TEST(Utf8, WellFormedCharactersOnly) {
  const struct {
    std::string text;
    std::size_t first;
    bool valid;
  } cases[] = {
      {"", 0, true},
      {"plain ascii text long enough for whole words", 1, true},
      {"\u00e9\u20ac\U0001D11E", 2, true},
      {"\xf4\x8f\xbf\xbf", 4, true},  // U+10FFFF
      {std::string("\0inside", 7), 1, true},
      {"\x80", 0, false},
      {"\xc0\xaf", 0, false},          // overlong
      {"\xe0\x80\xaf", 0, false},      // overlong
      {"\xe0\xa0\x80", 3, true},       // the first three-byte character
      {"\xf0\x80\x80\xaf", 0, false},  // overlong
      {"\xed\xa0\x80", 0, false},      // surrogate
      {"\xed\x9f\xbf", 3, true},       // the last character before them
      {"\xf4\x90\x80\x80", 0, false},  // past U+10FFFF
      {"\xf5\x80\x80\x80", 0, false},
      {"\xe2\x82", 0, false},   // cut off
      {"\xe2\x82(", 0, false},  // a bad continuation
      {"0123456789abcdef\xc3", 1, false},
      {"\xff", 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::to_string(utf8CharLength(c.text, 0)) + (isValidUtf8(c.text) ? " valid" : " invalid"),
              std::to_string(c.first) + (c.valid ? " valid" : " invalid"))
        << c.text;
  }
  EXPECT_EQ(utf8CharLength("ab", 2), 0u);
}

}  // namespace
}  // namespace quillbox
