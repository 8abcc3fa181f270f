#include "base/url.h"

#include <cstddef>

#include "base/hex.h"
#include "base/utf8.h"

namespace quillbox {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) { return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos; }
bool isNonAscii(char c) { return static_cast<unsigned char>(c) >= 0x80; }

// Where Unicode may be typed as it is (it is percent-encoded in href), and where it may not.
enum class Unicode { allowed, refused };

// True when every character of `part` is unreserved, a sub-delimiter, one of `extra`, a percent-escape of
// two hex digits, or (where allowed) a byte of a non-ASCII character.
bool isEscapedRun(std::string_view part, std::string_view extra, Unicode unicode) {
  for (std::size_t i = 0; i < part.size(); ++i) {
    const char c = part[i];
    if (c == '%') {
      if (part.size() - i < 3 || !isHexDigit(part[i + 1]) || !isHexDigit(part[i + 2])) return false;
      i += 2;
    } else if (!isUnreserved(c) && !isSubDelim(c) && extra.find(c) == std::string_view::npos &&
               !(unicode == Unicode::allowed && isNonAscii(c))) {
      return false;
    }
  }
  return true;
}

// "0" to "255" without leading zeros.
bool isDecOctet(std::string_view text) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return false;
  int value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return value <= 255;
}

bool isIPv4(std::string_view text) {
  for (int octet = 0; octet < 3; ++octet) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || !isDecOctet(text.substr(0, dot))) return false;
    text.remove_prefix(dot + 1);
  }
  return isDecOctet(text);
}

// The number of 16-bit groups in ":"-separated pieces of 1 to 4 hex digits, the last of which may be an
// IPv4 address (two groups) when `ipv4Last`; -1 when the text is not that. "" holds no group.
int ipv6Groups(std::string_view text, bool ipv4Last) {
  if (text.empty()) return 0;
  int groups = 0;
  while (true) {
    const std::size_t colon = text.find(':');
    const std::string_view piece = text.substr(0, colon);
    if (colon == std::string_view::npos && ipv4Last && isIPv4(piece)) return groups + 2;
    if (piece.empty() || piece.size() > 4) return -1;
    for (char c : piece) {
      if (!isHexDigit(c)) return -1;
    }
    ++groups;
    if (colon == std::string_view::npos) return groups;
    text.remove_prefix(colon + 1);
  }
}

// Eight groups, or fewer around one "::" that stands for one group of zeros or more (a second "::" leaves
// an empty piece).
bool isIPv6(std::string_view text) {
  const std::size_t elision = text.find("::");
  if (elision == std::string_view::npos) return ipv6Groups(text, true) == 8;
  const int before = ipv6Groups(text.substr(0, elision), false);
  const int after = ipv6Groups(text.substr(elision + 2), true);
  return before >= 0 && after >= 0 && before + after <= 7;
}

// Digits only, value within 0..65535; leading zeros allowed.
std::optional<int> portNumber(std::string_view digits) {
  long value = 0;
  for (char c : digits) {
    if (!isDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<int>(value);
}

// The scheme before the first ":", lower-cased ("" when there is no ":"). Only "http" and "https" are
// wanted, so it needs no check of its own.
std::string schemeOf(std::string_view text) {
  std::string scheme(text.substr(0, text.find(':')));
  if (scheme.size() == text.size()) return "";
  for (char& c : scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return scheme;
}

// Fills in url.host and url.port from an authority ("user@host:port"); false when it is malformed, has no
// host, names its host in Unicode or in a form nothing can open ("[v1.x]"), or its port is out of range.
bool readAuthority(std::string_view authority, URL& url) {
  if (const std::size_t at = authority.find('@'); at != std::string_view::npos) {
    if (!isEscapedRun(authority.substr(0, at), ":", Unicode::allowed)) return false;
    authority.remove_prefix(at + 1);
  }
  std::string_view port;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    url.host = std::string(authority.substr(1, close - 1));
    if (!isIPv6(url.host)) return false;
    authority.remove_prefix(close + 1);
    if (!authority.empty() && !authority.starts_with(':')) return false;
    if (!authority.empty()) port = authority.substr(1);
  } else {
    const std::size_t colon = authority.find(':');
    url.host = std::string(authority.substr(0, colon));
    if (url.host.empty() || !isEscapedRun(url.host, "", Unicode::refused)) return false;
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (!port.empty()) {
    url.port = portNumber(port);
    if (!url.port) return false;
  }
  return true;
}

// The text with every byte past 0x7F percent-encoded; nothing when it holds a C1 control or bytes that are
// not UTF-8. (The grammar refuses the ASCII controls.)
std::optional<std::string> encodeNonAscii(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  std::string encoded;
  encoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // A C1 control (U+0080..U+009F) is a control character all the same.
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0)
      return std::nullopt;
    if (byte < 0x80) {
      encoded += static_cast<char>(byte);
    } else {
      encoded += '%';
      appendHexByte(encoded, byte, HexCase::upper);
    }
  }
  return encoded;
}

}  // namespace

std::optional<URL> parseURL(std::string_view text) {
  std::optional<std::string> href = encodeNonAscii(text);
  std::string scheme = schemeOf(text);
  if (!href || (scheme != "http" && scheme != "https")) return std::nullopt;
  // An address without "//" ("http:/x") has no host at all.
  std::string_view rest = text.substr(scheme.size() + 1);
  if (!rest.starts_with("//")) return std::nullopt;
  rest.remove_prefix(2);

  URL url;
  url.scheme = std::move(scheme);
  const std::size_t authorityEnd = rest.find_first_of("/?#");
  if (!readAuthority(rest.substr(0, authorityEnd), url)) return std::nullopt;
  rest.remove_prefix(authorityEnd == std::string_view::npos ? rest.size() : authorityEnd);
  // The path, then the query after the first "?", then the fragment after the first "#".
  const std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos && !isEscapedRun(rest.substr(hash + 1), ":@/?", Unicode::allowed)) {
    return std::nullopt;
  }
  rest = rest.substr(0, hash);
  const std::size_t question = rest.find('?');
  if (question != std::string_view::npos &&
      !isEscapedRun(rest.substr(question + 1), ":@/?", Unicode::allowed)) {
    return std::nullopt;
  }
  if (!isEscapedRun(rest.substr(0, question), ":@/", Unicode::allowed)) return std::nullopt;

  url.text = std::string(text);
  url.href = std::move(*href);
  return url;
}

}  // namespace quillbox
