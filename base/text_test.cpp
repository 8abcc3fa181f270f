#include "base/text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/random_test_support.h"

namespace quillbox {
namespace {

struct Pair {
  std::string a;
  std::string b;
  bool expected;
};

struct Case {
  std::string text;
  bool expected;
};

// Runs a table through `check`, naming every row that disagrees.
template <class Check>
void expectTable(const std::vector<Pair>& rows, Check check) {
  for (const Pair& row : rows) {
    EXPECT_EQ(check(row.a, row.b), row.expected) << "\"" << row.a << "\" / \"" << row.b << "\"";
  }
}

template <class Check>
void expectTable(const std::vector<Case>& rows, Check check) {
  for (const Case& row : rows) EXPECT_EQ(check(row.text), row.expected) << "\"" << row.text << "\"";
}

TEST(TextEquals, CanonicallyEquivalentSpellingsAreEqualAndNothingElse) {
  expectTable(
      {
          {"caf\u00e9", "cafe\u0301", true},
          {"\u212A", "K", true},                     // KELVIN SIGN
          {"\u2126", "\u03a9", true},                // OHM SIGN, GREEK CAPITAL OMEGA
          {"a\u0323\u0301", "a\u0301\u0323", true},  // marks of different classes reorder
          {"\u1100\u1161", "\uac00", true},          // conjoining jamo, Hangul syllable
          {"a\u0301\u0301", "\u00e1\u0301", true},
          {"", "", true},
          // other differences stay different
          {"Milk", "milk", false},
          {"\u00e9", "\u00c9", false},
          {"e", "\u00e9", false},
          {"a\u0301\u0300", "a\u0300\u0301", false},  // same class: order matters
          {"\ufb01", "fi", false},                    // compatibility only
          {"\u26ab\ufe0f", "\u26ab", false},          // the variation selector is part of the text
          {"", " ", false},
          {"a", std::string("a\0", 2), false},
          // a byte order mark and a NUL are characters like any other, in every build
          {"\ufeffe\u0301", "\u00e9", false},
          {"\ufeffe\u0301", "\ufeff\u00e9", true},
          {std::string("e\0\u0301", 4), "e\u0301", false},
          // texts that are not UTF-8 compare byte for byte
          {"\xff", "\xff", true},
          {"\xff", "\xfe", false},
          {"e\xcc\x81\xff", "\xc3\xa9\xff", false},  // would be equal as text, but the bytes differ
          {"\xc0\xaf", "/", false},                  // overlong "/"
          {"\xef\xbf\xbd", "\xff", false},           // U+FFFD is not the bad byte it replaces
      },
      textEquals);
}

TEST(TextContains, FindsWholeCharactersCaseSensitively) {
  expectTable(
      {
          {"Buy milk", "milk", true},
          {"Buy milk", "Milk", false},
          {"Buy milk", "", true},
          {"", "a", false},
          {"Buy milk", "Buy milk!", false},
          {"aaab", "aab", true},
          // whole characters under canonical equivalence
          {"cafe\u0301", "\u00e9", true},
          {"caf\u00e9", "e\u0301", true},
          {"cafe\u0301 au lait", "caf\u00e9 au", true},
          {"cafe\u0301", "caf", true},
          {"caf\u00e9", "e", false},
          {"cafe\u0301", "e", false},
          {"cafe\u0301", "\u0301", false},
          {"e\u20dd", "e", false},  // no precomposed form: the mark still belongs to the "e"
          {"\u212A m", "K", true},
          {"a\u0323\u0301", "a\u0301\u0323", true},
          // emoji sequences are single characters
          {"\u26ab\ufe0f Shopping", "\u26ab\ufe0f", true},
          {"\u26ab\ufe0f Shopping", "\u26ab", false},
          {"\U0001F1FA\U0001F1F8\U0001F1EB\U0001F1F7", "\U0001F1EB\U0001F1F7", true},
          {"\U0001F1FA\U0001F1F8\U0001F1EB\U0001F1F7", "\U0001F1F8\U0001F1EB", false},  // straddles two flags
          {"\U0001F469\u200d\U0001F4BB code", "\U0001F469", false},
          {"\U0001F469\u200d\U0001F4BB code", "code", true},
          // CR LF is one character
          {"a\r\nb", "\r\n", true},
          {"a\r\nb", "\r", false},
          {"a\r\nb", "a\r", false},
          {"a\rb", "\r", true},
          {"\u00e9\r\nb", "\nb", false},
          // bytes are searched when either side is not UTF-8
          {"ab\xff"
           "cd",
           "\xff"
           "c",
           true},
          {"ab\xff", "b", true},
          {"cafe\xcc\x81\xff", "\xc3\xa9", false},
          {"abc", "\xff", false},
      },
      textContains);
}

TEST(IsLinkText, NeedsTheExactPrefixEndingOnACharacterBoundary) {
  expectTable(
      {
          {"https://example.com", true},
          {"http://example.com", true},
          {"https://", true},
          {"https://not a valid address", true},  // a link text; the address is checked when parsed
          {"https://\u00e9", true},
          {"https://\xff", true},
          {"https://\r\n", true},
          {"HTTP://example.com", false},
          {" https://example.com", false},
          {"see https://example.com", false},
          {"http:/example.com", false},
          {"ftp://example.com", false},
          {"", false},
          {"https://\u0301example.com", false},  // the mark joins the last "/"
          {"https://\u200dx", false},            // a joiner
          {"https://\u0903", false},             // a spacing mark
          {"https:/\u0301/", false},
      },
      isLinkText);
}

TEST(TextRules, ArbitraryBytesNeverCrashAndKeepEqualityReflexiveAndSymmetric) {
  const std::vector<std::string> pieces = {
      "a",  "e",      "\u0301",     "\u00e9", "\xff",     "\xc3", "\xed\xa0\x80",      "\r",
      "\n", "\u200d", "\U0001F1FA", "\ufe0f", "https://", "/",    std::string("\0", 1)};
  const unsigned seed = test::randomSeed();
  std::mt19937 random(seed);
  auto make = [&] {
    std::string text;
    for (int n = static_cast<int>(random() % 6); n > 0; --n) text += pieces[random() % pieces.size()];
    return text;
  };
  for (int i = 0; i < 3000; ++i) {
    const std::string a = make();
    const std::string b = make();
    ASSERT_TRUE(textEquals(a, a)) << a;
    ASSERT_TRUE(textContains(a, a)) << a;
    ASSERT_EQ(textEquals(a, b), textEquals(b, a)) << a << " / " << b << ", QUILLBOX_SEED=" << seed;
    ASSERT_TRUE(!textEquals(a, b) || textContains(a, b)) << a << " / " << b << ", QUILLBOX_SEED=" << seed;
    isLinkText(a);
  }
}

}  // namespace
}  // namespace quillbox
