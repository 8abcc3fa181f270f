#include "base/text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/random_test_support.h"

namespace quillbox {
namespace {

using namespace std::string_literals;

// Runs each case "a / b" (the texts either side of the first " / ") through `check`, naming every case that
// does not give `expected`.
template <class Check>
void expectAll(const std::vector<std::string>& cases, bool expected, Check check) {
  for (const std::string& c : cases) {
    const std::size_t at = c.find(" / ");
    EXPECT_EQ(check(c.substr(0, at), c.substr(at + 3)), expected) << c;
  }
}

// KELVIN SIGN, OHM SIGN, marks of different classes in either order and conjoining jamo are equal to
// their canonical equivalents. Case, marks of one class in another order, compatibility forms and the
// variation selector still differ; a byte order mark and a NUL are characters like any other, in every
// build. Texts that are not UTF-8 compare byte for byte: an overlong "/" is not "/", U+FFFD is not the bad
// byte it replaces.
TEST(TextEquals, CanonicallyEquivalentSpellingsAreEqualAndNothingElse) {
  expectAll({"caf\u00e9 / cafe\u0301", "\u212A / K", "\u2126 / \u03a9", "a\u0323\u0301 / a\u0301\u0323",
             "\u1100\u1161 / \uac00", "a\u0301\u0301 / \u00e1\u0301", " / ", "\ufeffe\u0301 / \ufeff\u00e9",
             "\xff / \xff"},
            true, textEquals);
  expectAll({"Milk / milk", "\u00e9 / \u00c9", "e / \u00e9", "a\u0301\u0300 / a\u0300\u0301", "\ufb01 / fi",
             "\u26ab\ufe0f / \u26ab", " /  ", "a / a\0"s, "\ufeffe\u0301 / \u00e9", "e\0\u0301 / e\u0301"s,
             "\xff / \xfe", "e\xcc\x81\xff / \xc3\xa9\xff", "\xc0\xaf / /", "\xef\xbf\xbd / \xff"},
            false, textEquals);
}

// Whole characters under canonical equivalence (with no precomposed form a mark still belongs to its
// "e"), case-sensitively; emoji sequences are single characters (no match straddles two flags), and so
// is CR LF. Bytes are searched when either side is not UTF-8.
TEST(TextContains, FindsWholeCharactersCaseSensitively) {
  expectAll({"Buy milk / milk", "Buy milk / ", "aaab / aab", "cafe\u0301 / \u00e9", "caf\u00e9 / e\u0301",
             "cafe\u0301 au lait / caf\u00e9 au", "cafe\u0301 / caf", "\u212A m / K",
             "a\u0323\u0301 / a\u0301\u0323", "\u26ab\ufe0f Shopping / \u26ab\ufe0f",
             "\U0001F1FA\U0001F1F8\U0001F1EB\U0001F1F7 / \U0001F1EB\U0001F1F7",
             "\U0001F469\u200d\U0001F4BB code / code", "a\r\nb / \r\n", "a\rb / \r", "ab\377cd / \377c",
             "ab\xff / b"},
            true, textContains);
  expectAll({"Buy milk / Milk", " / a", "Buy milk / Buy milk!", "caf\u00e9 / e", "cafe\u0301 / e",
             "cafe\u0301 / \u0301", "e\u20dd / e", "\u26ab\ufe0f Shopping / \u26ab",
             "\U0001F1FA\U0001F1F8\U0001F1EB\U0001F1F7 / \U0001F1F8\U0001F1EB",
             "\U0001F469\u200d\U0001F4BB code / \U0001F469", "a\r\nb / \r", "a\r\nb / a\r",
             "\u00e9\r\nb / \nb", "cafe\xcc\x81\xff / \xc3\xa9", "abc / \xff"},
            false, textContains);
}

TEST(IsLinkText, NeedsTheExactPrefixEndingOnACharacterBoundary) {
  // A link text needs no valid address (that is checked when parsed); a mark after the last "/", a
  // joiner or a spacing mark joins the prefix's last character.
  std::string got;
  for (const char* text :
       {"https://example.com", "http://example.com", "https://", "https://not a valid address",
        "https://\u00e9", "https://\xff", "https://\r\n", "HTTP://example.com", " https://example.com",
        "see https://example.com", "http:/example.com", "ftp://example.com", "", "https://\u0301example.com",
        "https://\u200dx", "https://\u0903", "https:/\u0301/"})
    got += isLinkText(text) ? '1' : '0';
  EXPECT_EQ(got, "11111110000000000");
}

TEST(TextRules, ArbitraryBytesNeverCrashAndKeepEqualityReflexiveAndSymmetric) {
  const std::vector<std::string> pieces = {
      "a",  "e",      "\u0301",     "\u00e9", "\xff",     "\xc3", "\xed\xa0\x80",      "\r",
      "\n", "\u200d", "\U0001F1FA", "\ufe0f", "https://", "/",    std::string("\0", 1)};
  std::mt19937 random(test::randomSeed());
  auto make = [&] {
    std::string text;
    for (int n = static_cast<int>(random() % 6); n > 0; --n) text += pieces[random() % pieces.size()];
    return text;
  };
  for (int i = 0; i < 3000; ++i) {
    const std::string a = make(), b = make();
    ASSERT_TRUE(textEquals(a, a) && textContains(a, a) && textEquals(a, b) == textEquals(b, a) &&
                (!textEquals(a, b) || textContains(a, b)))
        << a << " / " << b;
    isLinkText(a);
  }
}

}  // namespace
}  // namespace quillbox
