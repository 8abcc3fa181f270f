// The text rules' Unicode through ICU: the native build's.
#ifndef __EMSCRIPTEN__

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/utext.h>

#include <cstdint>
#include <limits>

#include "base/text_backend.h"

namespace quillbox::textbackend {
namespace {

constexpr std::size_t kMaxIcuLength = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

}  // namespace

Nfc toNfc(std::string_view text, std::string& out) {
  if (text.size() > kMaxIcuLength) return Nfc::failed;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return Nfc::failed;
  icu::StringPiece piece(text.data(), static_cast<std::int32_t>(text.size()));
  if (nfc->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) return Nfc::already;
  status = U_ZERO_ERROR;
  out.clear();
  icu::StringByteSink<std::string> sink(&out, static_cast<std::int32_t>(text.size()));
  nfc->normalizeUTF8(0, piece, sink, nullptr, status);
  return U_FAILURE(status) ? Nfc::failed : Nfc::normalised;
}

// The ICU iterator is made once per thread and bound to the text on the first question.
struct ClusterBoundaries::State {
  UText utext = UTEXT_INITIALIZER;
  bool opened = false;
  icu::BreakIterator* iterator = nullptr;  // bound to the text, unless ICU failed

  explicit State(std::string_view text) {
    if (text.size() > kMaxIcuLength) return;
    thread_local std::unique_ptr<icu::BreakIterator> shared;
    UErrorCode status = U_ZERO_ERROR;
    if (!shared) {
      shared.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
      if (U_FAILURE(status)) shared.reset();
      if (!shared) return;
    }
    status = U_ZERO_ERROR;
    utext_openUTF8(&utext, text.data(), static_cast<std::int64_t>(text.size()), &status);
    if (U_FAILURE(status)) return;
    opened = true;
    shared->setText(&utext, status);
    if (U_SUCCESS(status)) iterator = shared.get();
  }
  ~State() {
    if (opened) utext_close(&utext);
  }
};

ClusterBoundaries::ClusterBoundaries(std::string_view text) : text_(text) {}
ClusterBoundaries::~ClusterBoundaries() = default;

bool ClusterBoundaries::at(std::size_t offset) {
  if (offset == 0 || offset >= text_.size()) return true;
  if (!state_) state_ = std::make_unique<State>(text_);
  if (state_->iterator == nullptr) return true;  // ICU unavailable: every code point boundary counts
  return state_->iterator->isBoundary(static_cast<std::int32_t>(offset));
}

}  // namespace quillbox::textbackend

#endif  // __EMSCRIPTEN__
