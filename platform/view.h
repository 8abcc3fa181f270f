#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/device.h"
#include "platform/status.h"

namespace quillbox {

// A view tree is a plain value: elements named as the view framework names them, each with its
// own properties, its children and its modifiers in the order they apply. It holds no drawing
// code; renderers walk it. Actions are closures fixed when the tree was built.

using Json = nlohmann::ordered_json;
// What a trigger runs: an operation or a handler of a screen, which says whether it succeeded (a
// store that cannot be read or written is a failure the window reports).
using Action = std::function<Status()>;

class Window;
struct Element;

// A plain platform view that a representable element makes. It learns its window once the
// window has placed it.
class UIView {
 public:
  // The window this view has been placed in, or nullptr when it is in none.
  Window* window() const { return window_; }
  void placeIn(Window* window) { window_ = window; }

 private:
  Window* window_ = nullptr;
};

// An element that wraps a plain platform view: the window calls makeUIView once for each new
// element identity, and updateUIView on every later build of the same identity.
class UIViewRepresentable {
 public:
  virtual ~UIViewRepresentable() = default;
  virtual std::shared_ptr<UIView> makeUIView() = 0;
  virtual void updateUIView(UIView& view) { (void)view; }
};

// A two-way binding of a field or a picker to a text cell.
struct Binding {
  std::string name;  // the cell's name, e.g. "notesTextField"
  std::function<std::string()> get;
  std::function<void(const std::string&)> set;
};

struct Modifier {
  std::string name;                  // "font", "padding", "onTapGesture", ...
  Json value;                        // what it carries: "headline", "all", {"minHeight": 50, ...}
  std::shared_ptr<Element> content;  // an element it carries (a title, a tab item, a background)
  Action action;                     // the trigger's action, for onAppear, onReceive, onChange, onSubmit, onTapGesture
  std::function<bool()> changed;     // onChange: true once per change of the watched value
};

enum class Edges { all, trailing };
enum class Color { blue, red, primary, secondary };

std::string_view colorName(Color color);

struct Element {
  std::string name;                     // "Text", "HStack", ...
  Json props = Json::object();          // the element's own properties, in a fixed order
  std::vector<Modifier> modifiers;      // in the order they apply
  std::vector<Element> children;
  std::shared_ptr<Element> header;      // a Section's header
  std::shared_ptr<Binding> binding;     // a TextField's text, a Picker's selection
  std::shared_ptr<UIViewRepresentable> representable;
  std::string key;                      // identity among its siblings; "" means its position
  std::string id;                       // stable path from the root, filled by assignIds

  // Modifiers, each appended in the order it is applied.
  Element&& lineLimit(std::optional<int> lines) &&;  // nullopt: no limit
  Element&& font(TextStyle style) &&;
  Element&& foregroundColor(Color color) &&;
  Element&& padding(Edges edges = Edges::all) &&;
  Element&& frame(int minHeight) &&;  // a minimum height, every other bound open, content centred
  Element&& disableAutocorrection(bool disabled) &&;
  Element&& autocapitalization(std::string_view type) &&;
  Element&& submitLabel(std::string_view label) &&;
  Element&& onSubmit(Action action) &&;
  Element&& onTapGesture(Action action, int count = 1) &&;
  Element&& navigationViewStyle(std::string_view style) &&;
  Element&& navigationBarTitle(Element title) &&;
  Element&& onAppear(Action action) &&;
  Element&& onReceive(std::string_view notification, Action action) &&;
  // changed() is asked after every event; it answers true once for each change of the watched value.
  Element&& onChange(std::string_view of, std::function<bool()> changed, Action action) &&;
  Element&& pickerStyle(std::string_view style) &&;
  Element&& tabItem(Element label) &&;
  Element&& background(Element view, std::string_view alignment = "center") &&;
  Element&& keyed(std::string key) &&;

  // The first modifier of that name, or nullptr.
  const Modifier* modifier(std::string_view name) const;
  std::string prop(std::string_view name) const;  // a string property, "" when absent
};

// The foreground notification every screen subscribes to.
inline constexpr std::string_view kWillEnterForeground = "UIApplicationWillEnterForegroundNotification";

// Elements. Texts are shown as written: `verbatim` is false for localisable keys, which show as
// written too since no translation table exists.
Element Text(std::string text, bool verbatim);
Element Image(std::string systemName);
Element Link(std::string title, std::string destination);
Element Spacer(std::optional<int> minLength = std::nullopt);
Element TextField(std::string title, Binding binding);
Element Label(std::string title, std::string systemImage);
Element NavigationView(Element content);
Element ForEach(std::vector<Element> items);  // each item keyed by its identity
Element Picker(std::string label, Binding selection, Element content);
Element TabView(std::vector<Element> tabs);
Element HStack(std::vector<Element> children);
Element Form(std::vector<Element> sections);
Element Section(Element header, std::vector<Element> content);

// A list of elements made by moving each one in: a braced list would copy them, rows and all.
template <class... E>
std::vector<Element> Elements(E&&... elements) {
  std::vector<Element> list;
  list.reserve(sizeof...(elements));
  (list.push_back(std::forward<E>(elements)), ...);
  return list;
}

template <class... E>
Element HStack(E&&... children) {
  return HStack(Elements(std::forward<E>(children)...));
}

// Fills every element's id with its path from the root: the parent's id, "/", then the key, or
// the position among its siblings when it has none. A Section's header gets the segment "header".
void assignIds(Element& root);

// Walks the tree depth first, header before children; stops early when visit returns false.
void forEachElement(Element& root, const std::function<bool(Element&)>& visit);
void forEachElement(const Element& root, const std::function<bool(const Element&)>& visit);

// The element with that id, or nullptr.
Element* findElement(Element& root, std::string_view id);

}  // namespace quillbox
