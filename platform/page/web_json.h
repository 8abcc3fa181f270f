#pragma once

#include <string>
#include <string_view>

namespace quillbox::web {

// Appends text as a JSON string, quotes included. Bytes that are not valid UTF-8 become U+FFFD,
// so the output is always valid JSON whatever the stored text holds; control characters, the
// quote and the backslash are escaped, and so are U+2028 and U+2029. The result never holds a
// raw newline, so it can travel as one line of an event stream.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace quillbox::web
