#include "base/url.h"

#include <uriparser/Uri.h>

#include "base/decimal.h"
#include "base/utf8.h"

namespace quillbox {
namespace {

std::string_view rangeText(const UriTextRangeA& range) {
  if (range.first == nullptr || range.afterLast == nullptr) return {};
  return {range.first, static_cast<std::size_t>(range.afterLast - range.first)};
}

std::string lowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// The text with every byte past 0x7F percent-encoded; nothing when it holds a control character, NUL,
// DEL, a C1 control or bytes that are not UTF-8.
std::optional<std::string> encodeNonAscii(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (!isValidUtf8(text)) return std::nullopt;
  std::string encoded;
  encoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) return std::nullopt;
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0)
      return std::nullopt;
    if (byte < 0x80) {
      encoded += static_cast<char>(byte);
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    }
  }
  return encoded;
}

// Frees what the parser allocated inside a UriUriA once it was filled in.
struct ParsedUri {
  UriUriA uri{};
  bool filled = false;
  ~ParsedUri() {
    if (filled) uriFreeUriMembersA(&uri);
  }
};

}  // namespace

std::optional<URL> parseURL(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::optional<std::string> href = encodeNonAscii(text);
  if (!href) return std::nullopt;

  ParsedUri parsed;
  const char* errorPos = nullptr;
  if (uriParseSingleUriExA(&parsed.uri, href->data(), href->data() + href->size(), &errorPos) !=
      URI_SUCCESS) {
    return std::nullopt;
  }
  parsed.filled = true;
  const UriUriA& uri = parsed.uri;

  URL url;
  url.scheme = lowerAscii(rangeText(uri.scheme));
  if (url.scheme != "http" && url.scheme != "https") return std::nullopt;
  // An address without "//" ("http:/x") has no host at all; "https://" has an empty one.
  url.host = std::string(rangeText(uri.hostText));
  if (url.host.empty()) return std::nullopt;
  // A host typed in Unicode would need its own encoding (IDNA); it is not opened.
  if (url.host.find('%') != std::string::npos && href->size() != text.size()) return std::nullopt;
  if (uri.hostData.ipFuture.first != nullptr) return std::nullopt;  // "[v1.x]": nothing can open it
  const std::string_view port = rangeText(uri.portText);
  if (!port.empty()) {
    const std::optional<std::uint64_t> number = parseDecimal(port, 65535);  // leading zeros allowed
    if (!number) return std::nullopt;
    url.port = static_cast<int>(*number);
  }
  url.text = std::string(text);
  url.href = std::move(*href);
  return url;
}

}  // namespace quillbox
