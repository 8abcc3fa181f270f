#pragma once

// The two encodings a list is persisted in, and the edits made directly on a persisted string.
//
// Item lists (notes, to-dos, tagged notes): every entry followed by "NOTES_SEPARATOR"; "" is the empty list.
// Index lists (finished to-do positions): every integer in decimal followed by ","; "" is the empty list.
//
// Entries are stored exactly as typed: no trimming, escaping or normalisation, any bytes at all (invalid
// UTF-8 and NUL included) survive an edit byte for byte. There is no escape for a separator typed inside an
// entry: it splits the entry in two on the next decode. Every function is linear in the string's length and
// none fails: any string decodes to some list.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

inline constexpr std::string_view kItemSeparator = "NOTES_SEPARATOR";
inline constexpr std::string_view kIndexSeparator = ",";

// The non-empty pieces of stored between separators, in order, as views into stored: what a list
// shows of its string, read without decoding (a mark that is not a number is a piece too).
std::vector<std::string_view> nonEmptyPieces(std::string_view stored, std::string_view separator);

// An item list: text entries, oldest first; a decoded one never holds an empty entry; duplicates
// allowed. One buffer holds the bytes of every entry, so decoding a list of n entries costs one copy
// of the string and one array of n spans, not n allocations. Entries read as views that stay valid
// while the list lives and is not appended to. Copies are independent values.
class ItemList {
 public:
  using value_type = std::string_view;
  using size_type = std::size_t;

  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;
    std::string_view operator*() const { return (*list_)[index_]; }
    std::string_view operator[](difference_type n) const {
      return (*list_)[index_ + static_cast<std::size_t>(n)];
    }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++index_;
      return old;
    }
    const_iterator& operator--() {
      --index_;
      return *this;
    }
    const_iterator operator--(int) {
      const_iterator old = *this;
      --index_;
      return old;
    }
    const_iterator& operator+=(difference_type n) {
      index_ = static_cast<std::size_t>(static_cast<difference_type>(index_) + n);
      return *this;
    }
    const_iterator& operator-=(difference_type n) { return *this += -n; }
    friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
    friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
    friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
      return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.index_ == b.index_; }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) {
      return a.index_ <=> b.index_;
    }

   private:
    friend class ItemList;
    const_iterator(const ItemList* list, std::size_t index) : list_(list), index_(index) {}
    const ItemList* list_ = nullptr;
    std::size_t index_ = 0;
  };
  using iterator = const_iterator;

  ItemList() = default;
  ItemList(std::initializer_list<std::string_view> entries);
  template <class It>
  ItemList(It first, It last) {
    for (; first != last; ++first) push_back(std::string_view(*first));
  }

  std::size_t size() const { return spans_.size(); }
  bool empty() const { return spans_.empty(); }
  std::string_view operator[](std::size_t i) const {
    return {bytes_.data() + spans_[i].offset, spans_[i].length};
  }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, spans_.size()}; }

  // Adds a copy of entry at the end.
  void push_back(std::string_view entry);
  // Drops every entry for which drop(entry) is true; the others keep their order.
  template <class Drop>
  void eraseIf(Drop drop) {
    std::erase_if(spans_, [&](const Span& span) {
      return drop(std::string_view(bytes_.data() + span.offset, span.length));
    });
  }

  // Lists are equal when they hold the same entries, byte for byte, in the same order.
  friend bool operator==(const ItemList& a, const ItemList& b);

 private:
  friend ItemList decodeItemList(std::string_view stored);
  struct Span {
    std::size_t offset;
    std::size_t length;
  };
  std::string bytes_;
  std::vector<Span> spans_;
};
// Positions in the to-do list counted from 0, in the order they were marked; duplicates kept.
using IndexList = std::vector<std::int64_t>;

// The entries of a persisted item string: the pieces between separators, in order, empty pieces dropped
// (so an empty append, or an entry typed as exactly the separator, decodes to nothing).
ItemList decodeItemList(std::string_view stored);

// stored + entry + separator. Expects stored to end with its separator (or be ""), as every string these
// functions write does; otherwise the entry joins the last one.
std::string appendItem(std::string_view stored, std::string_view entry);

// Drops every entry canonically equal to `entry` (see textEquals), keeping the other pieces, empty ones
// included, in order: a string that ended with its separator still does, or is "" when nothing is left.
// Removing "" changes nothing: an empty piece is no entry, and dropping the final one would leave an
// unterminated string that swallows the next append.
std::string removeItemsEqualTo(std::string_view stored, std::string_view entry);

// The integers of a persisted index string, in order. Empty pieces are dropped; so is any piece that is
// not an optional "+" or "-" followed by ASCII digits only, within the signed 64-bit range (such pieces come
// only from a foreign writer of the cloud copy; the other marks are kept).
IndexList decodeIndexList(std::string_view stored);

// stored + decimal text of index (no "+", no leading zeros) + ",".
std::string appendIndex(std::string_view stored, std::int64_t index);

// Drops every piece whose text is exactly the decimal text of index ("01" and "+1" are not 1), keeping the
// other pieces, empty ones included, in order: a string that ended with "," still does (or is "").
std::string removeIndex(std::string_view stored, std::int64_t index);

}  // namespace quillbox
