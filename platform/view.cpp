#include "platform/view.h"

namespace quillbox {

std::string_view colorName(Color color) {
  switch (color) {
    case Color::blue:
      return "blue";
    case Color::red:
      return "red";
    case Color::primary:
      return "primary";
    case Color::secondary:
      return "secondary";
  }
  return "primary";
}

namespace {

Element&& add(Element& element, std::string name, Json value, Action action = nullptr) {
  Modifier modifier;
  modifier.name = std::move(name);
  modifier.value = std::move(value);
  modifier.action = std::move(action);
  element.modifiers.push_back(std::move(modifier));
  return std::move(element);
}

Element&& addContent(Element& element, std::string name, Element content, Json value = nullptr) {
  Modifier modifier;
  modifier.name = std::move(name);
  modifier.value = std::move(value);
  modifier.content = std::make_shared<Element>(std::move(content));
  element.modifiers.push_back(std::move(modifier));
  return std::move(element);
}

Element make(std::string name) {
  Element element;
  element.name = std::move(name);
  return element;
}

}  // namespace

Element&& Element::lineLimit(std::optional<int> lines) && {
  return add(*this, "lineLimit", lines ? Json(*lines) : Json(nullptr));
}
Element&& Element::font(TextStyle style) && { return add(*this, "font", std::string(textStyleName(style))); }
Element&& Element::foregroundColor(Color color) && {
  return add(*this, "foregroundColor", std::string(colorName(color)));
}
Element&& Element::padding(Edges edges) && {
  return add(*this, "padding", edges == Edges::all ? "all" : "trailing");
}
Element&& Element::frame(int minHeight) && {
  return add(*this, "frame", Json{{"minHeight", minHeight}, {"alignment", "center"}});
}
Element&& Element::disableAutocorrection(bool disabled) && {
  return add(*this, "disableAutocorrection", disabled);
}
Element&& Element::autocapitalization(std::string_view type) && {
  return add(*this, "autocapitalization", std::string(type));
}
Element&& Element::submitLabel(std::string_view label) && { return add(*this, "submitLabel", std::string(label)); }
Element&& Element::onSubmit(Action action) && { return add(*this, "onSubmit", "text", std::move(action)); }
Element&& Element::onTapGesture(Action action, int count) && {
  return add(*this, "onTapGesture", Json{{"count", count}}, std::move(action));
}
Element&& Element::navigationViewStyle(std::string_view style) && {
  return add(*this, "navigationViewStyle", std::string(style));
}
Element&& Element::navigationBarTitle(Element title) && {
  return addContent(*this, "navigationBarTitle", std::move(title));
}
Element&& Element::onAppear(Action action) && { return add(*this, "onAppear", nullptr, std::move(action)); }
Element&& Element::onReceive(std::string_view notification, Action action) && {
  return add(*this, "onReceive", std::string(notification), std::move(action));
}
Element&& Element::onChange(std::string_view of, std::function<bool()> changed, Action action) && {
  add(*this, "onChange", std::string(of), std::move(action));
  modifiers.back().changed = std::move(changed);
  return std::move(*this);
}
Element&& Element::pickerStyle(std::string_view style) && { return add(*this, "pickerStyle", std::string(style)); }
Element&& Element::tabItem(Element label) && { return addContent(*this, "tabItem", std::move(label)); }
Element&& Element::background(Element view, std::string_view alignment) && {
  return addContent(*this, "background", std::move(view), Json{{"alignment", std::string(alignment)}});
}
Element&& Element::keyed(std::string k) && {
  key = std::move(k);
  return std::move(*this);
}

const Modifier* Element::modifier(std::string_view modifierName) const {
  for (const Modifier& m : modifiers) {
    if (m.name == modifierName) return &m;
  }
  return nullptr;
}

std::string Element::prop(std::string_view propName) const {
  auto it = props.find(propName);
  if (it == props.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

Element Text(std::string text, bool verbatim) {
  Element element = make("Text");
  element.props["text"] = std::move(text);
  element.props["verbatim"] = verbatim;
  return element;
}

Element Image(std::string systemName) {
  Element element = make("Image");
  element.props["systemName"] = std::move(systemName);
  return element;
}

Element Link(std::string title, std::string destination) {
  Element element = make("Link");
  element.props["title"] = std::move(title);
  element.props["destination"] = std::move(destination);
  return element;
}

Element Spacer(std::optional<int> minLength) {
  Element element = make("Spacer");
  element.props["minLength"] = minLength ? Json(*minLength) : Json(nullptr);
  return element;
}

Element TextField(std::string title, Binding binding) {
  Element element = make("TextField");
  element.props["title"] = std::move(title);
  element.props["binding"] = binding.name;
  element.binding = std::make_shared<Binding>(std::move(binding));
  return element;
}

Element Label(std::string title, std::string systemImage) {
  Element element = make("Label");
  element.props["title"] = std::move(title);
  element.props["systemImage"] = std::move(systemImage);
  return element;
}

Element NavigationView(Element content) {
  Element element = make("NavigationView");
  element.children.push_back(std::move(content));
  return element;
}

Element ForEach(std::vector<Element> items) {
  Element element = make("ForEach");
  element.children = std::move(items);
  return element;
}

Element Picker(std::string label, Binding selection, Element content) {
  Element element = make("Picker");
  element.props["label"] = std::move(label);
  element.props["selection"] = selection.name;
  element.binding = std::make_shared<Binding>(std::move(selection));
  element.children.push_back(std::move(content));
  return element;
}

Element TabView(std::vector<Element> tabs) {
  Element element = make("TabView");
  element.children = std::move(tabs);
  return element;
}

Element HStack(std::vector<Element> children) {
  Element element = make("HStack");
  element.props["alignment"] = "center";
  element.props["spacing"] = nullptr;
  element.children = std::move(children);
  return element;
}

Element Form(std::vector<Element> sections) {
  Element element = make("Form");
  element.children = std::move(sections);
  return element;
}

Element Section(Element header, std::vector<Element> content) {
  Element element = make("Section");
  element.header = std::make_shared<Element>(std::move(header));
  element.children = std::move(content);
  return element;
}

namespace {

void assign(Element& element, const std::string& id) {
  element.id = id;
  if (element.header) assign(*element.header, id + "/header");
  for (size_t i = 0; i < element.children.size(); ++i) {
    Element& child = element.children[i];
    assign(child, id + "/" + (child.key.empty() ? std::to_string(i) : child.key));
  }
}

template <class E, class F>
bool walk(E& element, const F& visit) {
  if (!visit(element)) return false;
  if (element.header && !walk(*element.header, visit)) return false;
  for (auto& child : element.children) {
    if (!walk(child, visit)) return false;
  }
  return true;
}

}  // namespace

void assignIds(Element& root) { assign(root, ""); }

void forEachElement(Element& root, const std::function<bool(Element&)>& visit) { walk(root, visit); }

void forEachElement(const Element& root, const std::function<bool(const Element&)>& visit) {
  walk(root, visit);
}

Element* findElement(Element& root, std::string_view id) {
  Element* found = nullptr;
  forEachElement(root, [&](Element& element) {
    // Descend only along the path that can hold the id.
    if (element.id == id) {
      found = &element;
      return false;
    }
    return true;
  });
  return found;
}

}  // namespace quillbox
