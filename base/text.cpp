#include "base/text.h"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace quillbox {
namespace {

constexpr std::size_t kMaxIcuLength = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

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

// Answers whether a byte offset of a UTF-8 text falls between two user-perceived characters (grapheme
// clusters). The ICU iterator is made once per thread and bound to the text on the first question.
class ClusterBoundaries {
 public:
  explicit ClusterBoundaries(std::string_view text) : text_(text) {}
  ClusterBoundaries(const ClusterBoundaries&) = delete;
  ClusterBoundaries& operator=(const ClusterBoundaries&) = delete;
  ~ClusterBoundaries() {
    if (opened_) utext_close(&utext_);
  }

  bool at(std::size_t offset) {
    if (offset == 0 || offset >= text_.size()) return true;
    if (!tried_) {
      tried_ = true;
      bind();
    }
    if (!iterator_) return true;  // ICU unavailable: every code point boundary counts
    return iterator_->isBoundary(static_cast<std::int32_t>(offset));
  }

 private:
  void bind() {
    if (text_.size() > kMaxIcuLength) return;
    thread_local std::unique_ptr<icu::BreakIterator> iterator;
    UErrorCode status = U_ZERO_ERROR;
    if (!iterator) {
      iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
      if (U_FAILURE(status)) iterator.reset();
      if (!iterator) return;
    }
    status = U_ZERO_ERROR;
    utext_openUTF8(&utext_, text_.data(), static_cast<std::int64_t>(text_.size()), &status);
    if (U_FAILURE(status)) return;
    opened_ = true;
    iterator->setText(&utext_, status);
    if (U_SUCCESS(status)) iterator_ = iterator.get();
  }

  std::string_view text_;
  UText utext_ = UTEXT_INITIALIZER;
  bool tried_ = false;
  bool opened_ = false;
  icu::BreakIterator* iterator_ = nullptr;  // bound to text_ once tried_, unless ICU failed
};

bool containsWholeAscii(std::string_view text, std::string_view search) {
  for (std::size_t pos = text.find(search); pos != std::string_view::npos; pos = text.find(search, pos + 1)) {
    if (isAsciiBoundary(text, pos) && isAsciiBoundary(text, pos + search.size())) return true;
  }
  return false;
}

}  // namespace

// Points `form` at the NFC form of `text`: the text itself when it is already NFC (ASCII always is), else
// `storage` filled with the normalised bytes. False when the text cannot be normalised (not well-formed
// UTF-8, too long for ICU, or ICU failed); the caller then falls back to comparing bytes.
bool canonicalForm(std::string_view text, std::string& storage, std::string_view& form) {
  if (isAscii(text)) {
    form = text;
    return true;
  }
  if (text.size() > kMaxIcuLength || !isValidUtf8(text)) return false;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return false;
  icu::StringPiece piece(text.data(), static_cast<std::int32_t>(text.size()));
  if (nfc->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) {
    form = text;
    return true;
  }
  status = U_ZERO_ERROR;
  storage.clear();
  icu::StringByteSink<std::string> sink(&storage, static_cast<std::int32_t>(text.size()));
  nfc->normalizeUTF8(0, piece, sink, nullptr, status);
  if (U_FAILURE(status)) return false;
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
