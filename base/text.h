#pragma once

// The text rules every list shares: when two entries are the same text, when a search text is found in an
// entry, and when an entry reads as a link. Texts are UTF-8; equal texts are canonically equivalent Unicode
// sequences ("é" precomposed equals "e" followed by a combining acute). Bytes that are not well-formed UTF-8
// are never an error: such a text is compared byte for byte.

#include <string>
#include <string_view>

#include "base/utf8.h"  // isValidUtf8: what "well-formed UTF-8" means above

namespace quillbox {

// Canonical equivalence: NFC-normalise both sides and compare.
// When either side is not well-formed UTF-8 the two are equal only when their bytes are.
bool textEquals(std::string_view a, std::string_view b);

// Points `form` at the NFC form of `text`: the text itself when it is already NFC (ASCII always is), else
// `storage` filled with the normalised bytes. False when the text cannot be normalised (not well-formed
// UTF-8, too long, or the normaliser failed): such a text equals only its own bytes.
bool canonicalForm(std::string_view text, std::string& storage, std::string_view& form);

// Case-sensitive substring test under canonical equivalence; "" is contained in everything.
// A match counts only when it covers whole user-perceived characters of the text: "e" is not found in "é"
// (precomposed or not), "é" is found in "cafe" followed by a combining acute.
// When either side is not well-formed UTF-8 this is a plain byte search.
bool textContains(std::string_view text, std::string_view search);

// True when text begins with "https://" or, failing that, "http://", per user-perceived character: the
// prefix must end a character of the text, so a combining mark on its last "/" spoils it. Case-sensitive;
// nothing but the start of the text is looked at.
bool isLinkText(std::string_view text);

// One text held in canonical form, to be compared with many others in turn (removing by value from a long
// list): the same answers as textEquals, without normalising the held text again for every comparison.
class CanonicalText {
 public:
  explicit CanonicalText(std::string_view text);

  // textEquals(the held text, other).
  bool equals(std::string_view other) const;
  bool empty() const { return original_.empty(); }

 private:
  std::string original_;
  bool valid_;             // original_ is well-formed UTF-8
  std::string canonical_;  // its NFC form, when valid_
};

}  // namespace quillbox
