#include "platform/page/web_json.h"

#include <cstdint>
#include <cstdio>

#include "base/utf8.h"

namespace quillbox::web {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void appendEscape(std::string& out, unsigned code) {
  out += "\\u00";
  out += kHex[(code >> 4) & 0xf];
  out += kHex[code & 0xf];
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
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          appendEscape(out, c);
          break;
      }
      ++i;
      continue;
    }
    std::size_t length = utf8CharLength(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else if (length == 3 && c == 0xe2 && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xa8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
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
