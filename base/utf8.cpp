#include "base/utf8.h"

#include <cstdint>
#include <cstring>

namespace quillbox {

namespace {

// How many bytes from text[at] begin a well-formed character (all of it when whole), and its length
// (0 when the lead byte starts none).
struct Prefix {
  std::size_t good = 0;
  std::size_t length = 0;
};

Prefix wellFormedPrefix(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {1, 1};
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return {0, 0};
  }
  std::size_t k = 1;
  for (; k < length && at + k < text.size(); ++k) {
    if (byte(k) < (k == 1 ? low : 0x80) || byte(k) > (k == 1 ? high : 0xBF)) break;
  }
  return {k, length};
}

}  // namespace

std::size_t utf8CharLength(std::string_view text, std::size_t at) {
  if (at >= text.size()) return 0;
  const Prefix prefix = wellFormedPrefix(text, at);
  return prefix.length != 0 && prefix.good == prefix.length ? prefix.length : 0;
}

std::size_t utf8IllFormedLength(std::string_view text, std::size_t at) {
  if (at >= text.size()) return 0;
  const Prefix prefix = wellFormedPrefix(text, at);
  return prefix.good == 0 ? 1 : prefix.good;
}

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    // Runs of ASCII are passed eight bytes at a time.
    if (i + 8 <= text.size()) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if (!(word & 0x8080808080808080ULL)) {
        i += 8;
        continue;
      }
    }
    const std::size_t length = utf8CharLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace quillbox
