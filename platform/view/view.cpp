#include "platform/view/view.h"

#include <charconv>

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

std::string_view edgesName(Edges edges) { return edges == Edges::all ? "all" : "trailing"; }

std::string_view submitLabelName(SubmitLabel label) { return label == SubmitLabel::done ? "done" : "search"; }

std::string_view autocapitalizationName(Autocapitalization) { return "none"; }

std::string_view alignmentName(Alignment) { return "center"; }

std::string_view notificationName(Notification) { return "UIApplicationWillEnterForegroundNotification"; }

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

std::string_view modifierName(const Modifier& modifier) {
  static constexpr std::string_view kNames[] = {"lineLimit",
                                                "font",
                                                "foregroundColor",
                                                "padding",
                                                "frame",
                                                "disableAutocorrection",
                                                "autocapitalization",
                                                "submitLabel",
                                                "onSubmit",
                                                "onTapGesture",
                                                "navigationViewStyle",
                                                "navigationBarTitle",
                                                "onAppear",
                                                "onReceive",
                                                "onChange",
                                                "pickerStyle",
                                                "tabItem",
                                                "background"};
  static_assert(std::size(kNames) == std::variant_size_v<Modifier>);
  return kNames[modifier.index()];
}

const Element* modifierContent(const Modifier& modifier) {
  return std::visit(Overloaded{[](const NavigationBarTitle& m) { return m.title.get(); },
                               [](const TabItem& m) { return m.label.get(); },
                               [](const Background& m) { return m.view.get(); },
                               [](const auto&) -> const Element* { return nullptr; }},
                    modifier);
}

const Action* modifierAction(const Modifier& modifier) {
  const Action* action = std::visit(
      Overloaded{[](const OnSubmit& m) { return &m.action; }, [](const OnTapGesture& m) { return &m.action; },
                 [](const OnAppear& m) { return &m.action; }, [](const OnReceive& m) { return &m.action; },
                 [](const OnChange& m) { return m.watch ? &m.watch->action : nullptr; },
                 [](const auto&) -> const Action* { return nullptr; }},
      modifier);
  return action != nullptr && *action ? action : nullptr;
}

std::optional<std::size_t> Rows::positionOf(std::string_view key) {
  std::size_t position = 0;
  auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), position);
  if (error != std::errc() || end != key.data() + key.size() || key.empty() ||
      (key.size() > 1 && key[0] == '0')) {
    return std::nullopt;
  }
  return position;
}

std::string_view Element::name() const {
  switch (kind) {
    case ElementKind::NavigationView:
      return "NavigationView";
    case ElementKind::Form:
      return "Form";
    case ElementKind::Section:
      return "Section";
    case ElementKind::HStack:
      return "HStack";
    case ElementKind::Text:
      return "Text";
    case ElementKind::TextField:
      return "TextField";
    case ElementKind::Image:
      return "Image";
    case ElementKind::Link:
      return "Link";
    case ElementKind::Spacer:
      return "Spacer";
    case ElementKind::ForEach:
      return "ForEach";
    case ElementKind::Picker:
      return "Picker";
    case ElementKind::TabView:
      return "TabView";
    case ElementKind::Label:
      return "Label";
    case ElementKind::Representable:
      return representable ? representable->name() : "Representable";
  }
  return "Element";
}

namespace {

Element&& add(Element& element, Modifier modifier) {
  element.modifiers.push_back(std::move(modifier));
  return std::move(element);
}

// An element of a kind with its texts and children.
Element make(ElementKind kind, std::string text = {}, std::string detail = {},
             std::vector<Element> children = {}) {
  Element element;
  element.kind = kind;
  element.text = std::move(text);
  element.detail = std::move(detail);
  element.children = std::move(children);
  return element;
}

}  // namespace

Element&& Element::lineLimit(std::optional<int> lines) && { return add(*this, LineLimit{lines}); }
Element&& Element::font(TextStyle style) && { return add(*this, Font{style}); }
Element&& Element::foregroundColor(Color color) && { return add(*this, ForegroundColor{color}); }
Element&& Element::padding(Edges edges) && { return add(*this, Padding{edges}); }
Element&& Element::frame(int minHeight, Alignment alignment) && {
  return add(*this, Frame{minHeight, alignment});
}
Element&& Element::disableAutocorrection(bool disabled) && {
  return add(*this, DisableAutocorrection{disabled});
}
Element&& Element::autocapitalization(Autocapitalization type) && {
  return add(*this, AutocapitalizationModifier{type});
}
Element&& Element::submitLabel(SubmitLabel label) && { return add(*this, SubmitLabelModifier{label}); }
Element&& Element::onSubmit(Action action) && { return add(*this, OnSubmit{std::move(action)}); }
Element&& Element::onTapGesture(Action action, int count) && {
  return add(*this, OnTapGesture{count, std::move(action)});
}
Element&& Element::navigationViewStyle(StackNavigationViewStyle style) && {
  return add(*this, NavigationViewStyleModifier{style});
}
Element&& Element::navigationBarTitle(Element title) && {
  return add(*this, NavigationBarTitle{std::make_shared<const Element>(std::move(title))});
}
Element&& Element::onAppear(Action action) && { return add(*this, OnAppear{std::move(action)}); }
Element&& Element::onReceive(Notification notification, Action action) && {
  return add(*this, OnReceive{notification, std::move(action)});
}
Element&& Element::onChange(std::string of, std::function<bool()> changed, Action action) && {
  return add(*this, OnChange{std::make_shared<const OnChange::Watch>(
                        OnChange::Watch{std::move(of), std::move(changed), std::move(action)})});
}
Element&& Element::pickerStyle(SegmentedPickerStyle style) && {
  return add(*this, PickerStyleModifier{style});
}
Element&& Element::tabItem(Element label) && {
  return add(*this, TabItem{std::make_shared<const Element>(std::move(label))});
}
Element&& Element::background(Element view, Alignment alignment) && {
  return add(*this, Background{std::make_shared<const Element>(std::move(view)), alignment});
}
Element&& Element::keyed(std::string k) && {
  key = std::move(k);
  return std::move(*this);
}

Element Text(std::string text, bool verbatim) {
  Element element = make(ElementKind::Text, std::move(text));
  element.verbatim = verbatim;
  return element;
}

Element Image(std::string systemName) { return make(ElementKind::Image, std::move(systemName)); }

Element Link(std::string title, std::string destination) {
  return make(ElementKind::Link, std::move(title), std::move(destination));
}

Element Spacer(std::optional<int> minLength) {
  Element element = make(ElementKind::Spacer);
  element.minLength = minLength;
  return element;
}

Element TextField(std::string title, Binding binding) {
  Element element = make(ElementKind::TextField, std::move(title));
  element.binding = std::make_shared<const Binding>(std::move(binding));
  return element;
}

Element Label(std::string title, std::string systemImage) {
  return make(ElementKind::Label, std::move(title), std::move(systemImage));
}

Element NavigationView(Element content) {
  std::vector<Element> children;
  children.push_back(std::move(content));
  return make(ElementKind::NavigationView, {}, {}, std::move(children));
}

Element ForEach(std::vector<Element> items) { return make(ElementKind::ForEach, {}, {}, std::move(items)); }

Element ForEach(Rows rows) {
  Element element = make(ElementKind::ForEach);
  element.rows = std::make_shared<const Rows>(std::move(rows));
  return element;
}

Element Picker(std::string label, Binding selection, Element content) {
  Element element = make(ElementKind::Picker, std::move(label));
  element.binding = std::make_shared<const Binding>(std::move(selection));
  element.children.push_back(std::move(content));
  return element;
}

Element TabView(std::vector<Element> tabs) { return make(ElementKind::TabView, {}, {}, std::move(tabs)); }

Element HStack(std::vector<Element> children) {
  return make(ElementKind::HStack, {}, {}, std::move(children));
}

Element Form(std::vector<Element> sections) { return make(ElementKind::Form, {}, {}, std::move(sections)); }

Element Section(Element header, std::vector<Element> content) {
  Element element = make(ElementKind::Section, {}, {}, std::move(content));
  element.header = std::make_shared<const Element>(std::move(header));
  return element;
}

Element Representable(std::shared_ptr<UIViewRepresentable> view) {
  Element element = make(ElementKind::Representable);
  element.representable = std::move(view);
  return element;
}

namespace {

bool sameContent(const Element* a, const Element* b) {
  return a == b || (a != nullptr && b != nullptr && sameElement(*a, *b));
}

bool sameModifier(const Modifier& a, const Modifier& b) {
  if (a.index() != b.index()) return false;
  return std::visit(
      Overloaded{
          [&](const LineLimit& m) { return m.lines == std::get<LineLimit>(b).lines; },
          [&](const Font& m) { return m.style == std::get<Font>(b).style; },
          [&](const ForegroundColor& m) { return m.color == std::get<ForegroundColor>(b).color; },
          [&](const Padding& m) { return m.edges == std::get<Padding>(b).edges; },
          [&](const Frame& m) {
            return m.minHeight == std::get<Frame>(b).minHeight && m.alignment == std::get<Frame>(b).alignment;
          },
          [&](const DisableAutocorrection& m) {
            return m.disabled == std::get<DisableAutocorrection>(b).disabled;
          },
          [&](const SubmitLabelModifier& m) { return m.label == std::get<SubmitLabelModifier>(b).label; },
          [&](const OnTapGesture& m) { return m.count == std::get<OnTapGesture>(b).count; },
          [&](const OnChange& m) {
            const OnChange& other = std::get<OnChange>(b);
            return m.watch && other.watch ? m.watch->of == other.watch->of : m.watch == other.watch;
          },
          [&](const Background& m) {
            return m.alignment == std::get<Background>(b).alignment &&
                   sameContent(m.view.get(), modifierContent(b));
          },
          [&](const auto&) { return sameContent(modifierContent(a), modifierContent(b)); }},
      a);
}

}  // namespace

bool sameElement(const Element& a, const Element& b) {
  if (a.kind != b.kind || a.text != b.text || a.detail != b.detail || a.verbatim != b.verbatim ||
      a.minLength != b.minLength || a.selectedTab != b.selectedTab || a.key != b.key ||
      a.representable != b.representable || a.name() != b.name()) {
    return false;
  }
  if ((a.binding == nullptr) != (b.binding == nullptr) || (a.binding && a.binding->name != b.binding->name))
    return false;
  if (!sameContent(a.header.get(), b.header.get())) return false;
  if (a.modifiers.size() != b.modifiers.size() || a.children.size() != b.children.size()) return false;
  for (std::size_t i = 0; i < a.modifiers.size(); ++i) {
    if (!sameModifier(a.modifiers[i], b.modifiers[i])) return false;
  }
  for (std::size_t i = 0; i < a.children.size(); ++i) {
    if (!sameElement(a.children[i], b.children[i])) return false;
  }
  if ((a.rows == nullptr) != (b.rows == nullptr)) return false;
  if (a.rows) {
    if (a.rows->count != b.rows->count) return false;
    for (std::size_t p = 0; p < a.rows->count; ++p) {
      bool shown = a.rows->isShown(p);
      if (shown != b.rows->isShown(p)) return false;
      if (shown && !sameElement(a.rows->row(p), b.rows->row(p))) return false;
    }
  }
  return true;
}

namespace {

bool walk(const Element& element, std::string& id,
          const std::function<bool(const Element&, std::string_view)>& visit) {
  if (!visit(element, id)) return false;
  const std::size_t length = id.size();
  if (element.header) {
    id += "/header";
    bool going = walk(*element.header, id, visit);
    id.resize(length);
    if (!going) return false;
  }
  for (std::size_t i = 0; i < element.children.size(); ++i) {
    const Element& child = element.children[i];
    id += '/';
    id += child.key.empty() ? std::to_string(i) : child.key;
    bool going = walk(child, id, visit);
    id.resize(length);
    if (!going) return false;
  }
  return true;
}

}  // namespace

void forEachElement(const Element& root, const std::function<bool(const Element&, std::string_view)>& visit) {
  std::string id;
  walk(root, id, visit);
}

FoundElement findElement(const Element& root, std::string_view id) {
  FoundElement found;
  const Element* at = &root;
  std::size_t consumed = 0;
  while (consumed < id.size()) {
    if (id[consumed] != '/') return FoundElement();
    std::size_t end = id.find('/', consumed + 1);
    if (end == std::string_view::npos) end = id.size();
    std::string_view segment = id.substr(consumed + 1, end - consumed - 1);
    const Element* next = nullptr;
    if (at->rows) {
      std::optional<std::size_t> position = Rows::positionOf(segment);
      if (!position || !at->rows->isShown(*position)) return FoundElement();
      found.built_.push_back(std::make_unique<Element>(at->rows->row(*position)));
      next = found.built_.back().get();
      if (found.built_.size() == 1) found.rowId_ = std::string(id.substr(0, end));
    } else if (segment == "header" && at->header) {
      next = at->header.get();
    } else {
      for (std::size_t i = 0; i < at->children.size() && next == nullptr; ++i) {
        const Element& child = at->children[i];
        if (child.key.empty() ? segment == std::to_string(i) : segment == child.key) next = &child;
      }
    }
    if (next == nullptr) return FoundElement();
    at = next;
    consumed = end;
  }
  found.element_ = at;
  return found;
}

}  // namespace quillbox
