#pragma once

// Bytes written as hex digits, and hex digits read.

#include <string>
#include <string_view>

namespace quillbox {

enum class HexCase { lower, upper };

// Appends byte as two hex digits ("0a", or "0A" in upper case).
void appendHexByte(std::string& out, unsigned char byte, HexCase letters = HexCase::lower);

// Every byte of bytes as two lower-case hex digits.
std::string hexOf(std::string_view bytes);

// True for 0-9, a-f and A-F.
bool isHexDigit(char c);

}  // namespace quillbox
