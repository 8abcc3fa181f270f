#include "base/hex.h"

namespace quillbox {

void appendHexByte(std::string& out, unsigned char byte, HexCase letters) {
  const char* digits = letters == HexCase::lower ? "0123456789abcdef" : "0123456789ABCDEF";
  out += digits[byte >> 4];
  out += digits[byte & 0xf];
}

std::string hexOf(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char byte : bytes) appendHexByte(out, static_cast<unsigned char>(byte));
  return out;
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace quillbox
