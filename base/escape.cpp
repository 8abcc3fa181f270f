#include "base/escape.h"

#include "base/hex.h"
#include "base/utf8.h"

namespace quillbox {

std::string terminalSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto escapeByte = [&](unsigned char byte) {
    out += "\\x";
    appendHexByte(out, byte);
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = utf8CharLength(text, i);
    if (length == 0) {
      escapeByte(byte);
      ++i;
    } else if (length == 1) {
      if (byte == '\n') {
        out += "\\n";
      } else if (byte == '\t') {
        out += "\\t";
      } else if (byte == '\r') {
        out += "\\r";
      } else if (byte < 0x20 || byte == 0x7f) {
        escapeByte(byte);
      } else {
        out += static_cast<char>(byte);
      }
      ++i;
    } else if (byte == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
      escapeByte(static_cast<unsigned char>(text[i + 1]));  // a C1 control
      i += 2;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

std::string inQuotes(std::string_view text) {
  std::string out = "\"";
  out += terminalSafe(text);
  out += '"';
  return out;
}

}  // namespace quillbox
