#include "platform/view_render.h"

#include <cstdio>

namespace quillbox {

namespace {

Json elementJson(const Element& element) {
  Json json = Json::object();
  json["element"] = element.name;
  json["id"] = element.id;
  for (const auto& [name, value] : element.props.items()) json[name] = value;
  if (element.header) json["header"] = elementJson(*element.header);
  Json modifiers = Json::array();
  for (const Modifier& m : element.modifiers) {
    modifiers.push_back(Json{{"name", m.name}, {"value", m.content ? elementJson(*m.content) : m.value}});
  }
  json["modifiers"] = std::move(modifiers);
  Json children = Json::array();
  for (const Element& child : element.children) children.push_back(elementJson(child));
  json["children"] = std::move(children);
  return json;
}

// A value as one line: strings quoted with control characters escaped.
std::string inlineValue(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void textLines(const Element& element, int depth, std::string& out) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
  out += element.name;
  for (const auto& [name, value] : element.props.items()) {
    out += ' ';
    out += name;
    out += '=';
    out += inlineValue(value);
  }
  for (const Modifier& m : element.modifiers) {
    out += " .";
    out += m.name;
    out += '(';
    if (m.content) {
      out += m.content->name;
      if (!m.content->props.empty()) out += ' ' + inlineValue(m.content->props);
    } else if (!m.value.is_null()) {
      out += inlineValue(m.value);
    } else if (!m.action) {
      out += "nil";
    }
    out += ')';
  }
  out += '\n';
  if (element.header) {
    out.append(static_cast<std::size_t>(depth + 1) * 2, ' ');
    out += "header:\n";
    textLines(*element.header, depth + 2, out);
  }
  for (const Element& child : element.children) textLines(child, depth + 1, out);
}

}  // namespace

Json renderJson(const Element& root) { return elementJson(root); }

std::string dumpJson(const Json& json, int indent) {
  return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

std::string renderText(const Element& root) {
  std::string out;
  textLines(root, 0, out);
  return out;
}

}  // namespace quillbox
