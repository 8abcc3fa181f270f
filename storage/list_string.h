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

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

inline constexpr std::string_view kItemSeparator = "NOTES_SEPARATOR";
inline constexpr std::string_view kIndexSeparator = ",";

// Ordered oldest first; never holds an empty entry; duplicates allowed.
using ItemList = std::vector<std::string>;
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
