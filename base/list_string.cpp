#include "base/list_string.h"

#include <charconv>
#include <system_error>

#include "base/text.h"

namespace quillbox {
namespace {

// Calls visit(piece) for each piece of `stored` split at every occurrence of `separator`: k occurrences give
// k + 1 pieces, "" gives one empty piece. The separator is found by a plain byte search; occurrences of
// "NOTES_SEPARATOR" cannot overlap, so the split is unambiguous.
template <class Visit>
void forEachPiece(std::string_view stored, std::string_view separator, Visit&& visit) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = stored.find(separator, start);
    if (end == std::string_view::npos) {
      visit(stored.substr(start));
      return;
    }
    visit(stored.substr(start, end - start));
    start = end + separator.size();
  }
}

// The pieces of `stored` that `drop` keeps, joined with the separator between them (none: "").
template <class Drop>
std::string removePieces(std::string_view stored, std::string_view separator, Drop&& drop) {
  std::string kept;
  kept.reserve(stored.size());
  bool first = true;
  forEachPiece(stored, separator, [&](std::string_view piece) {
    if (drop(piece)) return;
    if (!first) kept.append(separator);
    kept.append(piece);
    first = false;
  });
  return kept;
}

std::string concatenate(std::string_view stored, std::string_view entry, std::string_view separator) {
  std::string result;
  result.reserve(stored.size() + entry.size() + separator.size());
  result.append(stored).append(entry).append(separator);
  return result;
}

// An optional "+" or "-", then one or more ASCII digits and nothing else, within the signed 64-bit range.
bool parseIndex(std::string_view piece, std::int64_t& value) {
  const char* first = piece.data();
  const char* last = first + piece.size();
  if (first != last && *first == '+') {
    ++first;
    if (first == last || *first < '0' || *first > '9') return false;  // "+" alone, "+-5"
  }
  const auto [end, error] = std::from_chars(first, last, value);
  return error == std::errc() && end == last;
}

// The decimal text of an integer: "-" for a negative one, no leading zeros. Fits 20 characters.
struct DecimalText {
  explicit DecimalText(std::int64_t value) {
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    length = static_cast<std::size_t>(result.ptr - buffer);
  }
  std::string_view view() const { return {buffer, length}; }
  char buffer[24];
  std::size_t length;
};

}  // namespace

std::vector<std::string_view> nonEmptyPieces(std::string_view stored, std::string_view separator) {
  std::vector<std::string_view> pieces;
  forEachPiece(stored, separator, [&](std::string_view piece) {
    if (!piece.empty()) pieces.push_back(piece);
  });
  return pieces;
}

ItemList::ItemList(std::initializer_list<std::string_view> entries) {
  for (std::string_view entry : entries) push_back(entry);
}

void ItemList::push_back(std::string_view entry) {
  spans_.push_back(Span{bytes_.size(), entry.size()});
  bytes_.append(entry);
}

bool operator==(const ItemList& a, const ItemList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

ItemList decodeItemList(std::string_view stored) {
  // The entries are views into one copy of the string: the separators stay in it, unread.
  ItemList items;
  items.bytes_.assign(stored);
  const char* base = stored.data();
  // No non-empty text is canonically equivalent to "", so the empty-entry test is a length test.
  forEachPiece(stored, kItemSeparator, [&](std::string_view piece) {
    if (!piece.empty()) {
      items.spans_.push_back(ItemList::Span{static_cast<std::size_t>(piece.data() - base), piece.size()});
    }
  });
  return items;
}

std::string appendItem(std::string_view stored, std::string_view entry) {
  return concatenate(stored, entry, kItemSeparator);
}

std::string removeItemsEqualTo(std::string_view stored, std::string_view entry) {
  if (entry.empty()) return std::string(stored);
  const CanonicalText removed(entry);
  return removePieces(stored, kItemSeparator, [&](std::string_view piece) { return removed.equals(piece); });
}

IndexList decodeIndexList(std::string_view stored) {
  IndexList indices;
  forEachPiece(stored, kIndexSeparator, [&](std::string_view piece) {
    std::int64_t value;
    if (!piece.empty() && parseIndex(piece, value)) indices.push_back(value);
  });
  return indices;
}

std::string appendIndex(std::string_view stored, std::int64_t index) {
  return concatenate(stored, DecimalText(index).view(), kIndexSeparator);
}

std::string removeIndex(std::string_view stored, std::int64_t index) {
  const DecimalText decimal(index);
  const std::string_view text = decimal.view();
  return removePieces(stored, kIndexSeparator, [&](std::string_view piece) { return piece == text; });
}

}  // namespace quillbox
