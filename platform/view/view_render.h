#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/view/view.h"

namespace quillbox {

// The renderers for people and tests. Both realise every row of every list, in order, one row at
// a time: a tree of any size is written without holding more than one row of it.

// The tree as JSON: one object per element, {"element", "id", its own properties, "header" (a
// Section's, as an element), "modifiers": [{"name", "value"}], "children"}. A modifier that
// carries an element (a title, a tab item, a background) has that element as its value. indent -1
// gives one line; otherwise every level is indented by that many spaces. Text that is not valid
// UTF-8 is written with U+FFFD in place of the bad bytes (the tree is left alone).
void writeJson(std::ostream& out, const Element& root, int indent = -1);
std::string renderJson(const Element& root, int indent = -1);

// The same tree indented, one element a line, for people and for tests. Control characters in
// texts are shown escaped, never sent raw.
void writeText(std::ostream& out, const Element& root);
std::string renderText(const Element& root);

// Receives the values renderers write: an element's own properties and what a modifier carries.
class ValueWriter {
 public:
  virtual ~ValueWriter() = default;
  virtual void key(std::string_view name) = 0;
  virtual void string(std::string_view text) = 0;
  virtual void number(long long value) = 0;
  virtual void boolean(bool value) = 0;
  virtual void null() = 0;
  virtual void beginObject() = 0;
  virtual void endObject() = 0;
};

// The element's own properties, each as a key then its value, in their fixed order ("text" then
// "verbatim" for a Text, ...).
void writeProperties(ValueWriter& writer, const Element& element);

// What a modifier carries when that is a value, not an element: a name, a number, an object.
// False, writing nothing, when it carries none (a bare trigger, no line limit, an element).
bool writeModifierValue(ValueWriter& writer, const Modifier& modifier);

// JSON documents the command line prints.
using Json = nlohmann::ordered_json;

// JSON text that never fails: bytes that are not valid UTF-8 become U+FFFD (the stored text is
// left alone). indent -1 gives one line.
std::string dumpJson(const Json& json, int indent = -1);

}  // namespace quillbox
