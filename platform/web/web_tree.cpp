#include "platform/web/web_tree.h"

#include <algorithm>
#include <functional>

#include "platform/web/web_json.h"

namespace quillbox::web {

namespace {

std::uint64_t hashOf(std::string_view text) { return std::hash<std::string_view>{}(text); }

// The key a child has under its parent: the part of its id after the parent's id and "/".
std::string_view childKey(const Element& parent, const Element& child) {
  std::string_view id = child.id;
  if (id.size() > parent.id.size() && id.compare(0, parent.id.size(), parent.id) == 0) {
    return id.substr(parent.id.size() + 1);
  }
  return id;
}

void appendProps(std::string& out, const Element& element) {
  const bool picker = element.name == "Picker";
  const bool bound = element.binding && element.binding->get;
  out += '{';
  bool first = true;
  for (const auto& [name, value] : element.props.items()) {
    // A picker's selection is sent as the option chosen, not the cell's name.
    if (picker && bound && name == "selection") continue;
    if (!first) out += ',';
    first = false;
    appendJsonString(out, name);
    out += ':';
    appendJsonValue(out, value);
  }
  if (bound) {
    if (!first) out += ',';
    appendJsonString(out, picker ? "selection" : "value");
    out += ':';
    appendJsonString(out, element.binding->get());
  }
  out += '}';
}

void appendContent(std::string& out, const Element& content) {
  out += "{\"e\":";
  appendJsonString(out, content.name);
  out += ",\"p\":";
  appendProps(out, content);
  out += '}';
}

}  // namespace

void appendElementRecord(std::string& out, const Element& element) {
  out += "{\"i\":";
  appendJsonString(out, element.id);
  out += ",\"e\":";
  appendJsonString(out, element.name);
  out += ",\"p\":";
  appendProps(out, element);
  out += ",\"m\":[";
  bool first = true;
  for (const Modifier& m : element.modifiers) {
    if (!first) out += ',';
    first = false;
    out += '[';
    appendJsonString(out, m.name);
    out += ',';
    if (m.content) {
      appendContent(out, *m.content);
    } else {
      appendJsonValue(out, m.value);
    }
    out += ']';
  }
  out += "],\"c\":[";
  first = true;
  for (const Element& child : element.children) {
    if (!first) out += ',';
    first = false;
    appendJsonString(out, childKey(element, child));
  }
  out += ']';
  if (element.header) out += ",\"h\":1";
  out += '}';
}

std::string TreeMirror::diff(const Element& root) {
  ++revision_;
  std::size_t elements = 0;
  std::string out = "[";
  bool first = true;
  std::function<void(const Element&)> visit = [&](const Element& element) {
    ++elements;
    scratch_.clear();
    appendElementRecord(scratch_, element);
    std::uint64_t record = hashOf(scratch_);
    auto [it, added] = sent_.try_emplace(hashOf(element.id), Sent{record, revision_});
    if (added || it->second.record != record) {
      it->second = Sent{record, revision_};
      if (!first) out += ',';
      first = false;
      out += scratch_;
    }
    if (element.header) visit(*element.header);
    for (const Element& child : element.children) visit(child);
  };
  visit(root);
  out += ']';
  largestTree_ = std::max(largestTree_, elements);
  return out;
}

void TreeMirror::reset() {
  sent_.clear();
  largestTree_ = 0;
}

bool TreeMirror::unchangedSince(const Element& element, std::uint64_t seen) const {
  std::string record;
  bool unchanged = true;
  forEachElement(element, [&](const Element& e) {
    record.clear();
    appendElementRecord(record, e);
    auto it = sent_.find(hashOf(e.id));
    unchanged = it != sent_.end() && it->second.record == hashOf(record) && it->second.revision <= seen;
    return unchanged;
  });
  return unchanged;
}

}  // namespace quillbox::web
