#include "base/list_string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillbox {
namespace {

using namespace std::string_literals;

const std::string S(kItemSeparator);

// Shows a persisted item string with each separator as "<S>".
std::string shown(std::string_view stored) {
  std::string out(stored);
  for (std::size_t at = 0; (at = out.find(kItemSeparator, at)) != std::string::npos;)
    out.replace(at, kItemSeparator.size(), "<S>");
  return out;
}

// The entries or indices, "|" between them.
template <class List>
std::string joined(const List& list) {
  std::ostringstream out;
  for (const auto& entry : list) out << (out.tellp() > 0 ? "|" : "") << entry;
  return out.str();
}

TEST(ItemStringTest, DecodeSplitsAtEverySeparatorAndDropsOnlyEmptyPieces) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"a", "a"},
      {"a" + S + S + "b", "a|b"},
      {S + "a" + S + S, "a"},
      {S + S + S, ""},
      {" " + S + "  " + S + "\t" + S, " |  |\t"},  // spaces are entries
      {"p" + S + "\u0301q" + S, "p|\u0301q"},      // a combining mark after a separator still splits
  };
  for (const auto& [stored, entries] : cases)
    EXPECT_EQ(joined(decodeItemList(stored)), entries) << shown(stored);
}

// Each case: a stored string, then edits ("+x" adds x, "-x" removes every entry equal to x), then the
// stored string and the entries it decodes to.
struct ItemEdits {
  std::string stored;
  std::vector<std::string> edits;
  std::string after;
};

TEST(ItemStringTest, AddsAppendAndRemovalsTakeEveryEqualEntryKeepingTheRestByteForByte) {
  const ItemEdits cases[] = {
      {"", {"+a", "+", "+b"}, "a<S><S>b<S> = a|b"},  // an empty submission changes the string only
      {"a" + S + "b", {"+c"}, "a<S>bc<S> = a|bc"},   // an unterminated string joins the last entry
      {"", {"+x" + S + "y", "+" + S}, "x<S>y<S><S><S> = x|y"},
      {"", {"+a", "+b", "+a", "-b"}, "a<S>a<S> = a|a"},
      {"", {"+a", "+b", "+a", "-a", "-b", "+c"}, "c<S> = c"},
      {"a" + S + S + "b" + S + "  " + S, {"-a", "-missing", "- "}, "<S>b<S>  <S> = b|  "},
      {"",
       {"+Milk", "+milk", "+Milk ", "+Milkshake", "-Milk"},
       "milk<S>Milk <S>Milkshake<S> = milk|Milk |Milkshake"},
      {"", {"+caf\u00e9", "+cafe\u0301", "+cafe", "+\u212A", "+K", "-cafe\u0301", "-K"}, "cafe<S> = cafe"},
      {"", {"+a", "+", "+b", "-", "+c"}, "a<S><S>b<S>c<S> = a|b|c"},  // removing "" changes nothing
      {"a" + S + "b" + S + "a", {"-a"}, "b = b"},
      {"", {"+x" + S + "y", "-x" + S + "y"}, "x<S>y<S> = x|y"},  // a text holding the separator is no piece
      // Bytes that are not UTF-8 are compared as bytes: only the same bytes match.
      {"",
       {"+bad \xff\xc3", "+\xed\xa0\x80", "-bad \xef\xbf\xbd\xef\xbf\xbd", "-\xed\xa0\x80"},
       "bad \xff\xc3<S> = bad \xff\xc3"},
      {"", {"+a", std::string("+a\0b", 4), std::string("-a\0c", 4), "-a"}, std::string("a\0b<S> = a\0b", 12)},
  };
  for (const ItemEdits& c : cases) {
    std::string stored = c.stored;
    for (const std::string& edit : c.edits) {
      const std::string_view entry = std::string_view(edit).substr(1);
      stored = edit[0] == '+' ? appendItem(stored, entry) : removeItemsEqualTo(stored, entry);
    }
    EXPECT_EQ(shown(stored) + " = " + joined(decodeItemList(stored)), c.after) << c.edits.back();
  }
}

TEST(ItemStringTest, MegabyteEntriesAreKeptWhole) {
  const std::string big(1 << 20, 'x');
  std::string decomposed, precomposed;
  for (int i = 0; i < (1 << 20) / 3; ++i) {
    decomposed += "e\u0301";  // not NFC
    precomposed += "\u00e9";
  }
  const std::string stored = appendItem(appendItem(appendItem(appendItem("", "a"), big), decomposed), "b");
  EXPECT_TRUE(decodeItemList(stored) == ItemList({"a", big, decomposed, "b"}));
  EXPECT_TRUE(removeItemsEqualTo(stored, precomposed) == "a" + S + big + S + "b" + S);
}

// Each case "stored -> after", the stored string before the first " -> ".
std::pair<std::string, std::string> sides(const std::string& c) {
  return {c.substr(0, c.find(" -> ")), c.substr(c.find(" -> ") + 4)};
}

TEST(IndexStringTest, DecodeKeepsOnlyPiecesThatAreWholeSigned64BitIntegers) {
  for (
      const std::string& c :
      {" -> "s, "0,3, -> 0|3"s, "5,5, -> 5|5"s, ",,1,,2 -> 1|2"s, "-4, -> -4"s, "4,\xff,\0,1 -> 4|1"s,
       "x,1.5, 3,3 ,9223372036854775808,-9223372036854775809,+,-,+-5,--5,-+5,1e3,0x10,\u0663,3\n, -> "s,
       "+7,-0,007,9223372036854775807,-9223372036854775808, -> 7|0|7|9223372036854775807|-9223372036854775808"s}) {
    EXPECT_EQ(joined(decodeIndexList(sides(c).first)), sides(c).second) << c;
  }
}

// "+1" and "01" are not the text "1".
TEST(IndexStringTest, MarksAreAppendedAsDecimalTextAndUnmarkedByTheirExactText) {
  std::string stored = "0,3,";
  for (std::int64_t index : {std::int64_t{12}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min(),
                             std::numeric_limits<std::int64_t>::max()})
    stored = appendIndex(stored, index);
  EXPECT_EQ(stored, "0,3,12,-1,-9223372036854775808,9223372036854775807,");
  for (const std::string& c : {"0,1,12, -> 0,12,"s, "0,12, -> 0,12,"s, "01,1,+1,1, -> 01,+1,"s, "1,1, -> "s,
                               "1,,x,1, -> ,x,"s, "1,\xff,\0,1 -> \xff,\0"s})
    EXPECT_EQ(removeIndex(sides(c).first, 1), sides(c).second) << c;
}

}  // namespace
}  // namespace quillbox
