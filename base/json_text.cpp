#include "base/json_text.h"

#include "base/hex.h"
#include "base/utf8.h"

namespace quillbox {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool needsEscape(unsigned char c) { return c < 0x20 || c >= 0x80 || c == '"' || c == '\\'; }

void appendAsciiEscape(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
  }
  out += "\\u00";
  appendHexByte(out, c);
}

bool isLineSeparator(std::string_view character) {
  return character == "\xE2\x80\xA8" || character == "\xE2\x80\xA9";
}

}  // namespace

void appendJsonText(std::string& out, std::string_view text, LineSeparators separators) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t run = i;  // plain printable ASCII is copied in one go
    while (run < text.size() && !needsEscape(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text, i, run - i);
    i = run;
    if (i >= text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      appendAsciiEscape(out, c);
      ++i;
      continue;
    }
    const std::size_t length = utf8CharLength(text, i);
    if (length == 0) {
      out += kReplacement;
      i += utf8IllFormedLength(text, i);
    } else if (separators == LineSeparators::escaped && isLineSeparator(text.substr(i, length))) {
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += length;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  out += '"';
}

}  // namespace quillbox
