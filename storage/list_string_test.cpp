#include "storage/list_string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "storage/text.h"

namespace quillbox {
namespace {

const std::string S(kItemSeparator);

// Shows a persisted item string with each separator as "<S>".
std::string shown(std::string_view stored) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t at = stored.find(kItemSeparator); at != std::string_view::npos;
       at = stored.find(kItemSeparator, start)) {
    out.append(stored.substr(start, at - start)).append("<S>");
    start = at + kItemSeparator.size();
  }
  return out.append(stored.substr(start));
}

std::string joined(const ItemList& items) {
  std::string out;
  for (std::string_view item : items) out.append(out.empty() ? "" : "|").append(item);
  return out;
}

std::string joined(const IndexList& indices) {
  std::string out;
  for (std::int64_t index : indices) out.append(out.empty() ? "" : "|").append(std::to_string(index));
  return out;
}

// A persisted item string edited the way the screens edit it.
class ItemStringTest : public ::testing::Test {
 protected:
  void add(std::string_view entry) { stored_ = appendItem(stored_, entry); }
  void remove(std::string_view entry) { stored_ = removeItemsEqualTo(stored_, entry); }
  std::string stored() const { return shown(stored_); }
  std::string entries() const { return joined(decodeItemList(stored_)); }

  std::string stored_;
};

TEST_F(ItemStringTest, DecodeSplitsAtEverySeparatorAndDropsEmptyPieces) {
  EXPECT_EQ(joined(decodeItemList("")), "");
  EXPECT_EQ(joined(decodeItemList("a")), "a");
  EXPECT_EQ(joined(decodeItemList("a" + S + S + "b")), "a|b");
  EXPECT_EQ(joined(decodeItemList(S + "a" + S + S)), "a");
  EXPECT_EQ(joined(decodeItemList(S + S + S)), "");
  // Entries made of spaces are entries; only the exact empty text is dropped.
  EXPECT_EQ(joined(decodeItemList(" " + S + "  " + S + "\t" + S)), " |  |\t");
}

TEST_F(ItemStringTest, EmptySubmissionChangesTheStringButNotTheList) {
  add("a");
  add("");
  add("b");
  EXPECT_EQ(stored(), "a<S><S>b<S>");
  EXPECT_EQ(entries(), "a|b");
}

TEST_F(ItemStringTest, AddToUnterminatedStringJoinsTheLastEntry) {
  stored_ = "a" + S + "b";
  add("c");
  EXPECT_EQ(stored(), "a<S>bc<S>");
  EXPECT_EQ(entries(), "a|bc");
}

TEST_F(ItemStringTest, SeparatorTypedInsideAnEntryIsStoredAsTypedAndSplitsIt) {
  add("x" + S + "y");
  EXPECT_EQ(stored_, "x" + S + "y" + S);
  EXPECT_EQ(entries(), "x|y");
  add(S);
  EXPECT_EQ(entries(), "x|y");
  // A separator followed by a combining mark still splits: the search is for the separator's bytes.
  add("p" + S + "\u0301q");
  EXPECT_EQ(entries(), "x|y|p|\u0301q");
}

TEST_F(ItemStringTest, RemovesEveryEqualEntryAndKeepsTheTerminator) {
  add("a");
  add("b");
  add("a");
  EXPECT_EQ(stored(), "a<S>b<S>a<S>");
  remove("b");
  EXPECT_EQ(stored(), "a<S>a<S>");
  remove("a");
  EXPECT_EQ(stored_, "");
  add("c");
  EXPECT_EQ(stored(), "c<S>");
}

TEST_F(ItemStringTest, RemovalKeepsEmptyPiecesAndUntouchedEntriesByteForByte) {
  stored_ = "a" + S + S + "b" + S + "  " + S;
  remove("a");
  EXPECT_EQ(stored(), "<S>b<S>  <S>");
  EXPECT_EQ(entries(), "b|  ");
  remove("missing");
  EXPECT_EQ(stored(), "<S>b<S>  <S>");
  remove(" ");  // spaces are compared exactly, not trimmed
  EXPECT_EQ(stored(), "<S>b<S>  <S>");
}

TEST_F(ItemStringTest, RemovalIsCaseSensitiveAndWholeEntry) {
  add("Milk");
  add("milk");
  add("Milk ");
  add("Milkshake");
  remove("Milk");
  EXPECT_EQ(entries(), "milk|Milk |Milkshake");
}

TEST_F(ItemStringTest, RemovalMatchesCanonicallyEquivalentSpellings) {
  add("caf\u00e9");   // precomposed
  add("cafe\u0301");  // e + combining acute
  add("cafe");
  add("\u212A");  // KELVIN SIGN, canonically "K"
  add("K");
  remove("cafe\u0301");
  EXPECT_EQ(entries(), "cafe|\u212A|K");
  remove("K");
  EXPECT_EQ(stored(), "cafe<S>");
}

TEST_F(ItemStringTest, RemovingTheEmptyTextChangesNothing) {
  // Dropping the final empty piece would leave an unterminated string that swallows the next entry.
  add("a");
  add("");
  add("b");
  remove("");
  EXPECT_EQ(stored(), "a<S><S>b<S>");
  add("c");
  EXPECT_EQ(entries(), "a|b|c");
}

TEST_F(ItemStringTest, RemovalFromUnterminatedStringJoinsWhatIsLeft) {
  stored_ = "a" + S + "b" + S + "a";
  remove("a");
  EXPECT_EQ(stored(), "b");
}

TEST_F(ItemStringTest, RemovingATextHoldingTheSeparatorMatchesNoPiece) {
  add("x" + S + "y");
  remove("x" + S + "y");
  EXPECT_EQ(stored(), "x<S>y<S>");
}

TEST_F(ItemStringTest, ArbitraryBytesSurviveEveryEditByteForByte) {
  const std::string invalid = "bad \xff\xfe \xc3 end";  // not UTF-8
  const std::string surrogate = "\xed\xa0\x80";         // an encoded surrogate
  const std::string withNul("a\0b", 3);
  add(invalid);
  add(surrogate);
  add(withNul);
  add("ok");
  remove("ok");
  remove("bad \xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd end");  // its U+FFFD rendering is another text
  ASSERT_EQ(stored_, invalid + S + surrogate + S + withNul + S);
  const ItemList items = decodeItemList(stored_);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0], invalid);
  EXPECT_EQ(items[1], surrogate);
  EXPECT_EQ(items[2], withNul);
  // Removal of such an entry compares bytes: exactly the same bytes, and nothing else.
  remove(withNul);
  remove(std::string("a\0c", 3));
  EXPECT_EQ(stored_, invalid + S + surrogate + S);
  remove(invalid);
  remove(surrogate);
  EXPECT_EQ(stored_, "");
}

TEST_F(ItemStringTest, MegabyteEntriesAreKeptWhole) {
  const std::string big(1 << 20, 'x');
  std::string decomposed;
  for (int i = 0; i < (1 << 20) / 3; ++i) decomposed += "e\u0301";  // not NFC, about 1 MB
  std::string precomposed;
  for (int i = 0; i < (1 << 20) / 3; ++i) precomposed += "\u00e9";
  add("a");
  add(big);
  add(decomposed);
  add("b");
  const ItemList items = decodeItemList(stored_);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_TRUE(items[1] == big);
  EXPECT_TRUE(items[2] == decomposed);
  remove(precomposed);
  EXPECT_TRUE(stored_ == "a" + S + big + S + "b" + S);
  remove(big);
  EXPECT_EQ(stored(), "a<S>b<S>");
}

TEST_F(ItemStringTest, RandomEditsAlwaysDecodeToTheEntriesAddedAndNotRemoved) {
  const std::vector<std::string> vocabulary = {
      "",  "a",    "caf\u00e9", "cafe\u0301",         "\u212A", "K",
      " ", "\xff", "\r\n",      std::string("\0", 1), "NOTES",  "SEPARATOR"};
  std::vector<std::string> model;  // every entry typed and not yet removed, "" included
  std::mt19937 random(7);
  for (int step = 0; step < 2000; ++step) {
    const std::string& entry = vocabulary[random() % vocabulary.size()];
    if (random() % 3 != 0) {
      add(entry);
      model.push_back(entry);
    } else {
      remove(entry);
      if (!entry.empty()) std::erase_if(model, [&](const std::string& m) { return textEquals(m, entry); });
    }
    std::string expected;
    for (const std::string& m : model) {
      if (!m.empty()) expected.append(expected.empty() ? "" : "|").append(m);
    }
    ASSERT_EQ(entries(), expected) << "step " << step;
    ASSERT_TRUE(stored_.empty() || stored_.ends_with(S)) << "step " << step;
  }
}

// A persisted index string edited the way the to-do screen edits it.
class IndexStringTest : public ::testing::Test {
 protected:
  void mark(std::int64_t index) { stored_ = appendIndex(stored_, index); }
  void unmark(std::int64_t index) { stored_ = removeIndex(stored_, index); }
  std::string indices() const { return joined(decodeIndexList(stored_)); }

  std::string stored_;
};

TEST_F(IndexStringTest, DecodeSplitsAtCommasAndDropsEmptyPieces) {
  EXPECT_EQ(joined(decodeIndexList("")), "");
  EXPECT_EQ(joined(decodeIndexList("0,3,")), "0|3");
  EXPECT_EQ(joined(decodeIndexList("5,5,")), "5|5");
  EXPECT_EQ(joined(decodeIndexList(",,1,,2")), "1|2");
  EXPECT_EQ(joined(decodeIndexList("-4,")), "-4");
}

TEST_F(IndexStringTest, MarksAreAppendedAsDecimalTextWithAComma) {
  stored_ = "0,3,";
  mark(12);
  EXPECT_EQ(stored_, "0,3,12,");
  mark(-1);
  mark(std::numeric_limits<std::int64_t>::min());
  mark(std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(stored_, "0,3,12,-1,-9223372036854775808,9223372036854775807,");
  EXPECT_EQ(indices(), "0|3|12|-1|-9223372036854775808|9223372036854775807");
}

TEST_F(IndexStringTest, UnmarkComparesPiecesAsText) {
  stored_ = "0,3,12,";
  unmark(3);
  EXPECT_EQ(stored_, "0,12,");
  unmark(1);
  EXPECT_EQ(stored_, "0,12,");
  stored_ = "01,1,+1,1,";
  unmark(1);
  EXPECT_EQ(stored_, "01,+1,");
  EXPECT_EQ(indices(), "1|1");
}

TEST_F(IndexStringTest, UnmarkingEveryMarkLeavesTheEmptyStringAndKeepsOthersTerminated) {
  mark(5);
  mark(5);
  unmark(5);
  EXPECT_EQ(stored_, "");
  stored_ = "2,,x,2,";
  unmark(2);
  EXPECT_EQ(stored_, ",x,");
  mark(7);
  EXPECT_EQ(indices(), "7");
}

TEST_F(IndexStringTest, ForeignPiecesThatAreNotIntegersAreSkipped) {
  stored_ =
      "x,1.5, 3,3 ,9223372036854775808,-9223372036854775809,+,-,+-5,--5,-+5,1e3,0x10,\u0663,3\n,"
      "+7,-0,007,9223372036854775807,-9223372036854775808,";
  EXPECT_EQ(indices(), "7|0|7|9223372036854775807|-9223372036854775808");
  unmark(7);  // "+7" and "007" are not the text "7"
  EXPECT_EQ(indices(), "7|0|7|9223372036854775807|-9223372036854775808");
}

TEST_F(IndexStringTest, BytesThatAreNotTextDecodeToNothingAndSurviveUnmarking) {
  stored_ = std::string("4,\xff,\0,1", 7);
  EXPECT_EQ(indices(), "4|1");
  unmark(4);
  EXPECT_EQ(stored_, std::string("\xff,\0,1", 5));
}

}  // namespace
}  // namespace quillbox
