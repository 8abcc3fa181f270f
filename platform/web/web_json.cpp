#include "platform/web/web_json.h"

#include <cstdint>
#include <cstdio>

namespace quillbox::web {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void appendEscape(std::string& out, unsigned code) {
  out += "\\u00";
  out += kHex[(code >> 4) & 0xf];
  out += kHex[code & 0xf];
}

// The length of the well-formed UTF-8 sequence that starts at text[i], or 0 when there is none
// (overlong forms, surrogates and values past U+10FFFF are not well-formed).
std::size_t sequenceLength(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  unsigned char lead = byte(0);
  std::size_t left = text.size() - i;
  auto continuation = [&](std::size_t k) { return k < left && (byte(k) & 0xc0) == 0x80; };
  if (lead >= 0xc2 && lead <= 0xdf) return continuation(1) ? 2 : 0;
  if (lead >= 0xe0 && lead <= 0xef) {
    if (left < 2) return 0;
    unsigned char second = byte(1);
    if (lead == 0xe0 && second < 0xa0) return 0;
    if (lead == 0xed && second >= 0xa0) return 0;
    return continuation(1) && continuation(2) ? 3 : 0;
  }
  if (lead >= 0xf0 && lead <= 0xf4) {
    if (left < 2) return 0;
    unsigned char second = byte(1);
    if (lead == 0xf0 && second < 0x90) return 0;
    if (lead == 0xf4 && second >= 0x90) return 0;
    return continuation(1) && continuation(2) && continuation(3) ? 4 : 0;
  }
  return 0;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    // Plain printable ASCII runs are copied in one go.
    std::size_t run = i;
    while (run < text.size()) {
      auto c = static_cast<unsigned char>(text[run]);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++run;
    }
    out.append(text, i, run - i);
    i = run;
    if (i >= text.size()) break;
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: appendEscape(out, c); break;
      }
      ++i;
      continue;
    }
    std::size_t length = sequenceLength(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else if (length == 3 && c == 0xe2 && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xa8 || static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
      out += static_cast<unsigned char>(text[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
      i += 3;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  out += '"';
}

}  // namespace quillbox::web
