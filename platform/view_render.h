#pragma once

#include <string>

#include "platform/view.h"

namespace quillbox {

// The tree as JSON: one object per element, {"element", "id", its own properties, "header" (a
// Section's, as an element), "modifiers": [{"name", "value"}], "children"}. A modifier that
// carries an element (a title, a tab item, a background) has that element as its value.
Json renderJson(const Element& root);

// JSON text that never fails: bytes that are not valid UTF-8 become U+FFFD (the stored text is
// left alone). indent -1 gives one line.
std::string dumpJson(const Json& json, int indent = -1);

// The same tree indented, one element a line, for people and for tests. Control characters in
// texts are shown escaped, never sent raw.
std::string renderText(const Element& root);

}  // namespace quillbox
