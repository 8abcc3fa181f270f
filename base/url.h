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
  std::string href;         // the address to open: text with each non-ASCII byte percent-encoded
  std::string scheme;       // "http" or "https" (as written, lower-cased)
  std::string host;         // as written; an IPv6 literal without its brackets ("::1")
  std::optional<int> port;  // absent when not written, or written as a bare ":"
};

// Parses text as a URL; nothing when it is not one a link may open. The same answers in every build: no
// platform parser is asked, since a browser's would accept and rewrite what this refuses.
// Accepts an RFC 3986 absolute address (paths, queries, fragments, userinfo, percent-escapes of two hex
// digits) whose scheme is http or https in any case, whose host is a name, an IPv4 address or a bracketed
// IPv6 address (no zone, no "[v1.x]" form) and whose port, when given, is within 0..65535 (":" alone is no
// port). Unicode typed in the userinfo, path, query or fragment ("https://example.com/🔴") is accepted and
// percent-encoded in href, as a browser would; a host typed in Unicode ("https://bücher.example/") is not
// opened. Rejects everything else, including texts with spaces, control characters, NUL bytes or bytes that
// are not UTF-8.
std::optional<URL> parseURL(std::string_view text);

}  // namespace quillbox
