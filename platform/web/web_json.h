#pragma once

#include <string>
#include <string_view>

#include "platform/view.h"

namespace quillbox::web {

// Appends text as a JSON string, quotes included. Bytes that are not valid UTF-8 become U+FFFD,
// so the output is always valid JSON whatever the stored text holds; control characters, the
// quote and the backslash are escaped, and so are U+2028 and U+2029. The result never holds a
// raw newline, so it can travel as one line of an event stream.
void appendJsonString(std::string& out, std::string_view text);

// Appends value as compact JSON text, its strings written as appendJsonString writes them.
void appendJsonValue(std::string& out, const Json& value);

}  // namespace quillbox::web
