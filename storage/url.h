#pragma once

// The web address behind a link row: a note that reads as a link (isLinkText) is opened through the URL
// parsed from its whole text, and shows no label when there is none.

#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

// A web address that a link can open: an absolute http or https address with a host.
struct URL {
  std::string text;         // the address in its text form: the text it was parsed from, unchanged
  std::string scheme;       // "http" or "https" (as written, lower-cased)
  std::string host;         // as written; an IPv6 literal without its brackets ("::1")
  std::optional<int> port;  // absent when not written, or written as a bare ":"
};

// Parses text as a URL; nothing when it is not one a link may open.
// Accepts an RFC 3986 absolute address (paths, queries, fragments, userinfo, percent-escapes, IPv4 and IPv6
// literals) whose scheme is http or https in any case, whose host is not empty and whose port, when given,
// is within 0..65535. Rejects everything else, including texts with spaces, control characters or NUL
// bytes, and any text with non-ASCII characters (an address typed with raw Unicode, such as
// "https://bücher.example/", is not percent-encoded and is not opened).
std::optional<URL> parseURL(std::string_view text);

}  // namespace quillbox
