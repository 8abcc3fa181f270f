#include "base/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/text_backend.h"

namespace quillbox {
namespace {

bool isAscii(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    if (word & 0x8080808080808080ULL) return false;
  }
  for (; i < n; ++i) {
    if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
  }
  return true;
}

// In ASCII text every byte is a character of its own except CR LF, which is one.
bool isAsciiBoundary(std::string_view text, std::size_t offset) {
  return offset == 0 || offset >= text.size() || !(text[offset - 1] == '\r' && text[offset] == '\n');
}

using textbackend::ClusterBoundaries;

bool containsWholeAscii(std::string_view text, std::string_view search) {
  for (std::size_t pos = text.find(search); pos != std::string_view::npos; pos = text.find(search, pos + 1)) {
    if (isAsciiBoundary(text, pos) && isAsciiBoundary(text, pos + search.size())) return true;
  }
  return false;
}

}  // namespace

// Points `form` at the NFC form of `text`: the text itself when it is already NFC (ASCII always is), else
// `storage` filled with the normalised bytes. False when the text cannot be normalised (not well-formed
// UTF-8, too long, or the normaliser failed); the caller then falls back to comparing bytes.
bool canonicalForm(std::string_view text, std::string& storage, std::string_view& form) {
  if (isAscii(text)) {
    form = text;
    return true;
  }
  if (!isValidUtf8(text)) return false;
  switch (textbackend::toNfc(text, storage)) {
    case textbackend::Nfc::already:
      form = text;
      return true;
    case textbackend::Nfc::failed:
      return false;
    case textbackend::Nfc::normalised:
      break;
  }
  form = storage;
  return true;
}

bool textEquals(std::string_view a, std::string_view b) {
  if (a == b) return true;
  std::string storageA, storageB;
  std::string_view formA, formB;
  if (!canonicalForm(a, storageA, formA) || !canonicalForm(b, storageB, formB)) return false;
  return formA == formB;
}

bool textContains(std::string_view text, std::string_view search) {
  if (search.empty()) return true;
  if (isAscii(search) && isAscii(text)) return containsWholeAscii(text, search);
  std::string storageText, storageSearch;
  std::string_view formText, formSearch;
  if (!canonicalForm(text, storageText, formText) || !canonicalForm(search, storageSearch, formSearch)) {
    return text.find(search) != std::string_view::npos;
  }
  if (isAscii(formText)) return containsWholeAscii(formText, formSearch);
  ClusterBoundaries boundaries(formText);
  for (std::size_t pos = formText.find(formSearch); pos != std::string_view::npos;
       pos = formText.find(formSearch, pos + 1)) {
    if (boundaries.at(pos) && boundaries.at(pos + formSearch.size())) return true;
  }
  return false;
}

bool isLinkText(std::string_view text) {
  std::size_t prefix;
  if (text.starts_with("https://")) {
    prefix = 8;
  } else if (text.starts_with("http://")) {
    prefix = 7;
  } else {
    return false;
  }
  // The prefix is ASCII, so it is whole characters up to its last "/"; that one ends a character unless
  // what follows joins it (a combining mark, a joiner). No ASCII character joins a "/".
  if (text.size() == prefix || static_cast<unsigned char>(text[prefix]) < 0x80) return true;
  // Whether a boundary falls after the "/" depends on the next character only; a short window holds it.
  constexpr std::size_t kWindow = 32;
  ClusterBoundaries boundaries(text.substr(0, std::min(text.size(), prefix + kWindow)));
  return boundaries.at(prefix);
}

CanonicalText::CanonicalText(std::string_view text) : original_(text), valid_(false) {
  std::string storage;
  std::string_view form;
  if (canonicalForm(original_, storage, form)) {
    valid_ = true;
    canonical_.assign(form);
  }
}

bool CanonicalText::equals(std::string_view other) const {
  if (other == original_) return true;
  if (!valid_) return false;
  std::string storage;
  std::string_view form;
  if (!canonicalForm(other, storage, form)) return false;
  return form == canonical_;
}

}  // namespace quillbox
