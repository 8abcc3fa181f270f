#pragma once

#include <string>
#include <string_view>

#include "base/json_text.h"

namespace quillbox::web {

// Appends text as a JSON string for the page (see appendJsonText), U+2028 and U+2029 escaped too.
inline void appendJsonString(std::string& out, std::string_view text) {
  appendJsonText(out, text, LineSeparators::escaped);
}

}  // namespace quillbox::web
