#include "platform/view/view.h"

#include <charconv>

#include "base/overloaded.h"

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
  return std::visit(Overloaded{[](const kinds::Representable& k) {
                                 return k.view ? k.view->name() : kinds::Representable::kName;
                               },
                               [](const auto& k) { return std::decay_t<decltype(k)>::kName; }},
                    properties);
}

const Element* Element::header() const {
  const kinds::Section* section = as<kinds::Section>();
  return section != nullptr ? section->header.get() : nullptr;
}

const Rows* Element::rows() const {
  const kinds::ForEach* list = as<kinds::ForEach>();
  return list != nullptr ? list->rows.get() : nullptr;
}

const Binding* Element::binding() const {
  if (const kinds::TextField* field = as<kinds::TextField>()) return field->text.get();
  if (const kinds::Picker* picker = as<kinds::Picker>()) return picker->selection.get();
  return nullptr;
}

namespace {

Element&& add(Element& element, Modifier modifier) {
  element.modifiers.push_back(std::move(modifier));
  return std::move(element);
}

// An element of a kind with its properties and children.
Element make(Properties properties, std::vector<Element> children = {}) {
  Element element;
  element.properties = std::move(properties);
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

Element Text(std::string text, bool verbatim) { return make(kinds::Text{std::move(text), verbatim}); }

Element Image(std::string systemName) { return make(kinds::Image{std::move(systemName)}); }

Element Link(std::string title, std::string destination) {
  return make(kinds::Link{std::move(title), std::move(destination)});
}

Element Spacer(std::optional<int> minLength) { return make(kinds::Spacer{minLength}); }

Element TextField(std::string title, Binding binding) {
  return make(kinds::TextField{std::move(title), std::make_shared<const Binding>(std::move(binding))});
}

Element Label(std::string title, std::string systemImage) {
  return make(kinds::Label{std::move(title), std::move(systemImage)});
}

Element NavigationView(Element content) {
  return make(kinds::NavigationView{}, Elements(std::move(content)));
}

Element ForEach(std::vector<Element> items) { return make(kinds::ForEach{}, std::move(items)); }

Element ForEach(Rows rows) { return make(kinds::ForEach{std::make_shared<const Rows>(std::move(rows))}); }

Element Picker(std::string label, Binding selection, Element content) {
  return make(kinds::Picker{std::move(label), std::make_shared<const Binding>(std::move(selection))},
              Elements(std::move(content)));
}

Element TabView(std::vector<Element> tabs) { return make(kinds::TabView{}, std::move(tabs)); }

Element HStack(std::vector<Element> children) { return make(kinds::HStack{}, std::move(children)); }

Element Form(std::vector<Element> sections) { return make(kinds::Form{}, std::move(sections)); }

Element Section(Element header, std::vector<Element> content) {
  return make(kinds::Section{std::make_shared<const Element>(std::move(header))}, std::move(content));
}

Element Representable(std::shared_ptr<UIViewRepresentable> view) {
  return make(kinds::Representable{std::move(view)});
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

namespace {

bool sameBinding(const std::shared_ptr<const Binding>& a, const Binding* b) {
  return (a == nullptr) == (b == nullptr) && (a == nullptr || a->name == b->name);
}

// Lazy lists alike: the same count and the same rows shown, built and compared.
bool sameRows(const Rows* a, const Rows* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->count != b->count) return false;
  for (std::size_t p = 0; p < a->count; ++p) {
    const bool shown = a->isShown(p);
    if (shown != b->isShown(p)) return false;
    if (shown && !sameElement(a->row(p), b->row(p))) return false;
  }
  return true;
}

bool sameProperties(const Element& a, const Element& b) {
  if (a.properties.index() != b.properties.index()) return false;
  return std::visit(
      Overloaded{[&](const kinds::Section& k) { return sameContent(k.header.get(), b.header()); },
                 [&](const kinds::ForEach& k) { return sameRows(k.rows.get(), b.rows()); },
                 [&](const kinds::TextField& k) {
                   return k.title == b.as<kinds::TextField>()->title && sameBinding(k.text, b.binding());
                 },
                 [&](const kinds::Picker& k) {
                   return k.label == b.as<kinds::Picker>()->label && sameBinding(k.selection, b.binding());
                 },
                 [&](const auto& k) { return k == std::get<std::decay_t<decltype(k)>>(b.properties); }},
      a.properties);
}

}  // namespace

bool sameElement(const Element& a, const Element& b) {
  if (a.key != b.key || a.modifiers.size() != b.modifiers.size() || a.children.size() != b.children.size() ||
      !sameProperties(a, b)) {
    return false;
  }
  for (std::size_t i = 0; i < a.modifiers.size(); ++i) {
    if (!sameModifier(a.modifiers[i], b.modifiers[i])) return false;
  }
  for (std::size_t i = 0; i < a.children.size(); ++i) {
    if (!sameElement(a.children[i], b.children[i])) return false;
  }
  return true;
}

namespace {

bool walk(const Element& element, std::string& id,
          const std::function<bool(const Element&, std::string_view)>& visit) {
  if (!visit(element, id)) return false;
  const std::size_t length = id.size();
  if (const Element* header = element.header()) {
    id += "/header";
    bool going = walk(*header, id, visit);
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
    if (const Rows* rows = at->rows()) {
      std::optional<std::size_t> position = Rows::positionOf(segment);
      if (!position || !rows->isShown(*position)) return FoundElement();
      found.built_.push_back(std::make_unique<Element>(rows->row(*position)));
      next = found.built_.back().get();
      if (found.built_.size() == 1) found.rowId_ = std::string(id.substr(0, end));
    } else if (segment == "header" && at->header() != nullptr) {
      next = at->header();
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
