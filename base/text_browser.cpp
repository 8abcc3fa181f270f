// The text rules' Unicode through the browser's own facilities (String.prototype.normalize and
// Intl.Segmenter, which node has too): the WebAssembly build's.
#ifdef __EMSCRIPTEN__

#include <emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/text_backend.h"

// clang-format off
// The NFC form of length bytes at text: nullptr when it is NFC already, else malloc'ed bytes and their
// count in *size (-1 in *size: normalising failed).
EM_JS(char*, qb_text_nfc, (const char* text, int length, int* size), {
  try {
    const original = new TextDecoder('utf-8', {ignoreBOM : true}).decode(HEAPU8.subarray(text, text + length));
    const form = original.normalize('NFC');
    if (form == original) return 0;
    const bytes = new TextEncoder().encode(form);
    const out = _malloc(Math.max(bytes.length, 1));
    HEAPU8.set(bytes, out);
    HEAP32[size >> 2] = bytes.length;
    return out;
  } catch (e) {
    HEAP32[size >> 2] = -1;
    return 0;
  }
});

// The byte offsets at which the grapheme clusters of length bytes at text start, after the first,
// as malloc'ed 32-bit numbers, their count in *count; nullptr when segmenting failed.
EM_JS(std::int32_t*, qb_text_clusters, (const char* text, int length, int* count), {
  try {
    const string = new TextDecoder('utf-8', {ignoreBOM : true}).decode(HEAPU8.subarray(text, text + length));
    const starts = [];
    let bytes = 0;
    for (const piece of new Intl.Segmenter(undefined, {granularity : 'grapheme'}).segment(string)) {
      if (bytes > 0) starts.push(bytes);
      for (const c of piece.segment) {
        const code = c.codePointAt(0);
        bytes += code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
      }
    }
    const out = _malloc(Math.max(starts.length, 1) * 4);
    HEAP32.set(starts, out >> 2);
    HEAP32[count >> 2] = starts.length;
    return out;
  } catch (e) {
    return 0;
  }
});

// clang-format on

namespace quillbox::textbackend {

Nfc toNfc(std::string_view text, std::string& out) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX / 4)) return Nfc::failed;
  int size = 0;
  char* form = qb_text_nfc(text.data(), static_cast<int>(text.size()), &size);
  if (form == nullptr) return size < 0 ? Nfc::failed : Nfc::already;
  out.assign(form, static_cast<std::size_t>(size));
  std::free(form);
  return Nfc::normalised;
}

struct ClusterBoundaries::State {
  bool segmented = false;
  std::vector<std::int32_t> starts;  // ascending
};

ClusterBoundaries::ClusterBoundaries(std::string_view text) : text_(text) {}
ClusterBoundaries::~ClusterBoundaries() = default;

bool ClusterBoundaries::at(std::size_t offset) {
  if (offset == 0 || offset >= text_.size()) return true;
  if (!state_) {
    state_ = std::make_unique<State>();
    int count = 0;
    if (text_.size() <= static_cast<std::size_t>(INT32_MAX / 4)) {
      if (std::int32_t* starts = qb_text_clusters(text_.data(), static_cast<int>(text_.size()), &count)) {
        state_->starts.assign(starts, starts + count);
        state_->segmented = true;
        std::free(starts);
      }
    }
  }
  if (!state_->segmented) return true;  // no segmenter: every code point boundary counts
  return std::binary_search(state_->starts.begin(), state_->starts.end(), static_cast<std::int32_t>(offset));
}

}  // namespace quillbox::textbackend

#endif  // __EMSCRIPTEN__
