#include "platform/view/view_render.h"

#include <ostream>
#include <variant>
#include <vector>

#include "base/json_text.h"
#include "base/overloaded.h"

namespace quillbox {

namespace {

constexpr std::size_t kFlushBytes = std::size_t{1} << 16;

// Where a renderer writes: a string, handed on to a stream whenever it grows past a few pages.
class Sink {
 public:
  explicit Sink(std::ostream* stream) : stream_(stream) {}
  std::string& text() { return text_; }
  void flushIfLarge() {
    if (stream_ != nullptr && text_.size() >= kFlushBytes) flush();
  }
  void flush() {
    if (stream_ != nullptr) {
      stream_->write(text_.data(), static_cast<std::streamsize>(text_.size()));
      text_.clear();
    }
  }

 private:
  std::ostream* stream_;
  std::string text_;
};

// JSON written as it goes, laid out as nlohmann's dump lays it out: compact, or each member and
// item on a line of its own, indented, with "[]" and "{}" for empty containers.
class JsonWriter {
 public:
  JsonWriter(std::string& out, int indent) : out_(out), indent_(indent) {}

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  void key(std::string_view name) {
    separate();
    appendJsonText(out_, name);
    out_ += indent_ < 0 ? ":" : ": ";
    afterKey_ = true;
  }
  void string(std::string_view text) {
    separate();
    appendJsonText(out_, text);
  }
  void number(long long value) {
    separate();
    out_ += std::to_string(value);
  }
  void boolean(bool value) {
    separate();
    out_ += value ? "true" : "false";
  }
  void null() {
    separate();
    out_ += "null";
  }

 private:
  void newline(std::size_t depth) {
    out_ += '\n';
    out_.append(depth * static_cast<std::size_t>(indent_), ' ');
  }
  // Before a member or an item: a comma after the one before, and its line when indented.
  void separate() {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (counts_.empty()) return;
    if (counts_.back()++ > 0) out_ += ',';
    if (indent_ >= 0) newline(counts_.size());
  }
  void open(char bracket) {
    separate();
    out_ += bracket;
    counts_.push_back(0);
  }
  void close(char bracket) {
    const bool empty = counts_.back() == 0;
    counts_.pop_back();
    if (!empty && indent_ >= 0) newline(counts_.size());
    out_ += bracket;
  }

  std::string& out_;
  int indent_;
  std::vector<std::size_t> counts_;  // members or items written so far, per open container
  bool afterKey_ = false;
};

// One property whose value is a string.
template <class W>
void stringProp(W& w, const char* name, const std::string& value) {
  w.key(name);
  w.string(value);
}

template <class W>
void bindingProp(W& w, const char* name, const std::shared_ptr<const Binding>& binding) {
  w.key(name);
  w.string(binding ? binding->name : std::string());
}

// The element's own properties, in their fixed order, as name and value. Every kind is named here:
// a new one does not compile until it says what it shows.
template <class W>
void props(W& w, const Element& element) {
  std::visit(
      Overloaded{[&](const kinds::Text& k) {
                   stringProp(w, "text", k.text);
                   w.key("verbatim");
                   w.boolean(k.verbatim);
                 },
                 [&](const kinds::Image& k) { stringProp(w, "systemName", k.systemName); },
                 [&](const kinds::Link& k) {
                   stringProp(w, "title", k.title);
                   stringProp(w, "destination", k.destination);
                 },
                 [&](const kinds::TextField& k) {
                   stringProp(w, "title", k.title);
                   bindingProp(w, "binding", k.text);
                 },
                 [&](const kinds::Label& k) {
                   stringProp(w, "title", k.title);
                   stringProp(w, "systemImage", k.systemImage);
                 },
                 [&](const kinds::Picker& k) {
                   stringProp(w, "label", k.label);
                   bindingProp(w, "selection", k.selection);
                 },
                 [&](const kinds::Spacer& k) {
                   w.key("minLength");
                   if (k.minLength) {
                     w.number(*k.minLength);
                   } else {
                     w.null();
                   }
                 },
                 [&](const kinds::TabView& k) {
                   w.key("selectedTab");
                   w.number(static_cast<long long>(k.selectedTab));
                 },
                 [&](const kinds::HStack&) {
                   w.key("alignment");
                   w.string("center");
                   w.key("spacing");
                   w.null();
                 },
                 // Kinds with no properties of their own:
                 [](const kinds::NavigationView&) {}, [](const kinds::Form&) {}, [](const kinds::Section&) {},
                 [](const kinds::ForEach&) {}, [](const kinds::Representable&) {}},
      element.properties);
}

// What a modifier carries, when it is not an element: nothing (false) for a bare trigger or no
// line limit.
template <class W>
bool modifierValue(W& w, const Modifier& modifier) {
  auto string = [&w](std::string_view value) {
    w.string(value);
    return true;
  };
  return std::visit(
      Overloaded{[&](const LineLimit& m) {
                   if (!m.lines) return false;
                   w.number(*m.lines);
                   return true;
                 },
                 [&](const Font& m) { return string(textStyleName(m.style)); },
                 [&](const ForegroundColor& m) { return string(colorName(m.color)); },
                 [&](const Padding& m) { return string(edgesName(m.edges)); },
                 [&](const Frame& m) {
                   w.beginObject();
                   w.key("minHeight");
                   w.number(m.minHeight);
                   w.key("alignment");
                   w.string(alignmentName(m.alignment));
                   w.endObject();
                   return true;
                 },
                 [&](const DisableAutocorrection& m) {
                   w.boolean(m.disabled);
                   return true;
                 },
                 [&](const AutocapitalizationModifier& m) { return string(autocapitalizationName(m.type)); },
                 [&](const SubmitLabelModifier& m) { return string(submitLabelName(m.label)); },
                 [&](const OnSubmit&) { return string("text"); },
                 [&](const OnTapGesture& m) {
                   w.beginObject();
                   w.key("count");
                   w.number(m.count);
                   w.endObject();
                   return true;
                 },
                 [&](const NavigationViewStyleModifier&) { return string("StackNavigationViewStyle"); },
                 [&](const OnReceive& m) { return string(notificationName(m.notification)); },
                 [&](const OnChange& m) { return string(m.watch ? m.watch->of : ""); },
                 [&](const PickerStyleModifier&) { return string("SegmentedPickerStyle"); },
                 [&](const auto&) { return false; }},
      modifier);
}

// Calls visit(child, key) for every child in order, building each row of a lazy ForEach when its
// turn comes and dropping it after.
template <class F>
void forEachChild(const Element& element, F&& visit) {
  if (const Rows* list = element.rows()) {
    const Rows& rows = *list;
    for (std::size_t p = 0; p < rows.count; ++p) {
      if (!rows.isShown(p)) continue;
      const Element row = rows.row(p);
      visit(row, Rows::keyOf(p));
    }
    return;
  }
  for (std::size_t i = 0; i < element.children.size(); ++i) {
    const Element& child = element.children[i];
    visit(child, child.key.empty() ? std::to_string(i) : child.key);
  }
}

class JsonRenderer {
 public:
  JsonRenderer(Sink& sink, int indent) : sink_(sink), w_(sink.text(), indent) {}

  // ids false: the element is a modifier's content, whose elements have no ids.
  void element(const Element& element, std::string& id, bool ids) {
    w_.beginObject();
    w_.key("element");
    w_.string(element.name());
    w_.key("id");
    w_.string(ids ? std::string_view(id) : std::string_view());
    props(w_, element);
    const std::size_t length = id.size();
    if (const Element* header = element.header()) {
      w_.key("header");
      id += "/header";
      this->element(*header, id, ids);
      id.resize(length);
    }
    w_.key("modifiers");
    w_.beginArray();
    for (const Modifier& m : element.modifiers) {
      w_.beginObject();
      w_.key("name");
      w_.string(modifierName(m));
      w_.key("value");
      if (const Element* content = modifierContent(m)) {
        std::string none;
        this->element(*content, none, false);
      } else if (!modifierValue(w_, m)) {
        w_.null();
      }
      w_.endObject();
    }
    w_.endArray();
    w_.key("children");
    w_.beginArray();
    forEachChild(element, [&](const Element& child, const std::string& key) {
      id += '/';
      id += key;
      this->element(child, id, ids);
      id.resize(length);
      sink_.flushIfLarge();
    });
    w_.endArray();
    w_.endObject();
  }

 private:
  Sink& sink_;
  JsonWriter w_;
};

void renderJsonTo(Sink& sink, const Element& root, int indent) {
  JsonRenderer renderer(sink, indent);
  std::string id;
  renderer.element(root, id, true);
  sink.flush();
}

// A one-line JSON object of an element's own properties: "{}" when it has none.
std::string inlineProps(const Element& element) {
  std::string out;
  JsonWriter w(out, -1);
  w.beginObject();
  props(w, element);
  w.endObject();
  return out;
}

// The element's own properties as name=value pairs.
class PairWriter {
 public:
  explicit PairWriter(std::string& out) : out_(out), w_(out, -1) {}
  void key(std::string_view name) {
    out_ += ' ';
    out_ += name;
    out_ += '=';
  }
  void string(std::string_view text) { w_.string(text); }
  void number(long long value) { w_.number(value); }
  void boolean(bool value) { w_.boolean(value); }
  void null() { w_.null(); }

 private:
  std::string& out_;
  JsonWriter w_;
};

void textLines(Sink& sink, const Element& element, std::size_t depth) {
  std::string& out = sink.text();
  out.append(depth * 2, ' ');
  out += element.name();
  PairWriter pairs(out);
  props(pairs, element);
  for (const Modifier& m : element.modifiers) {
    out += " .";
    out += modifierName(m);
    out += '(';
    if (const Element* content = modifierContent(m)) {
      out += content->name();
      if (std::string own = inlineProps(*content); own != "{}") {
        out += ' ';
        out += own;
      }
    } else {
      JsonWriter w(out, -1);
      if (!modifierValue(w, m) && modifierAction(m) == nullptr) out += "nil";
    }
    out += ')';
  }
  out += '\n';
  if (const Element* header = element.header()) {
    out.append((depth + 1) * 2, ' ');
    out += "header:\n";
    textLines(sink, *header, depth + 2);
  }
  forEachChild(element, [&](const Element& child, const std::string&) {
    textLines(sink, child, depth + 1);
    sink.flushIfLarge();
  });
}

}  // namespace

void writeProperties(ValueWriter& writer, const Element& element) { props(writer, element); }

bool writeModifierValue(ValueWriter& writer, const Modifier& modifier) {
  return modifierValue(writer, modifier);
}

void writeJson(std::ostream& out, const Element& root, int indent) {
  Sink sink(&out);
  renderJsonTo(sink, root, indent);
}

std::string renderJson(const Element& root, int indent) {
  Sink sink(nullptr);
  renderJsonTo(sink, root, indent);
  return std::move(sink.text());
}

void writeText(std::ostream& out, const Element& root) {
  Sink sink(&out);
  textLines(sink, root, 0);
  sink.flush();
}

std::string renderText(const Element& root) {
  Sink sink(nullptr);
  textLines(sink, root, 0);
  return std::move(sink.text());
}

std::string dumpJson(const Json& json, int indent) {
  return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace quillbox
