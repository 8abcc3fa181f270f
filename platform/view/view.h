#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/device.h"
#include "platform/status.h"

namespace quillbox {

// A view tree is a plain value: elements named as the view framework names them, each with its
// own properties, its children and its modifiers in the order they apply. Element kinds, modifiers
// and their arguments are types, so a misspelt one does not compile. It holds no drawing code;
// renderers walk it. Actions are closures fixed when the tree was built.
//
// The rows of a list are lazy: a ForEach over positions holds a count and a row builder, and a
// row is built only when a renderer or an event asks for it. The builder reads the list as it was
// when the tree was built (the screen hands it a snapshot of its state), so a row built later, or
// built twice, is the row the tree showed.

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
  // The element's name as renderers show it.
  virtual std::string_view name() const = 0;
  virtual std::shared_ptr<UIView> makeUIView() = 0;
  virtual void updateUIView(UIView& view) { (void)view; }
};

// A two-way binding of a field or a picker to a text cell.
struct Binding {
  std::string name;  // the cell's name, e.g. "notesTextField"
  std::function<std::string()> get;
  std::function<void(const std::string&)> set;
};

// The arguments modifiers take.
enum class Edges : std::uint8_t { all, trailing };
enum class Color : std::uint8_t { blue, red, primary, secondary };
enum class SubmitLabel : std::uint8_t { done, search };
enum class Autocapitalization : std::uint8_t { none };
enum class Alignment : std::uint8_t { center };
enum class Notification : std::uint8_t {
  willEnterForeground
};  // UIApplicationWillEnterForegroundNotification
struct StackNavigationViewStyle {};
struct SegmentedPickerStyle {};

std::string_view colorName(Color color);
std::string_view edgesName(Edges edges);
std::string_view submitLabelName(SubmitLabel label);
std::string_view autocapitalizationName(Autocapitalization type);
std::string_view alignmentName(Alignment alignment);
std::string_view notificationName(Notification notification);

// Modifiers, one type each, holding what they carry.
struct LineLimit {
  std::optional<int> lines;  // nothing: no limit
};
struct Font {
  TextStyle style;
};
struct ForegroundColor {
  Color color;
};
struct Padding {
  Edges edges;
};
struct Frame {
  int minHeight;  // every other bound open
  Alignment alignment;
};
struct DisableAutocorrection {
  bool disabled;
};
struct AutocapitalizationModifier {
  Autocapitalization type;
};
struct SubmitLabelModifier {
  SubmitLabel label;
};
struct OnSubmit {
  Action action;  // run on text submission
};
struct OnTapGesture {
  int count;
  Action action;
};
struct NavigationViewStyleModifier {
  StackNavigationViewStyle style;
};
struct NavigationBarTitle {
  std::shared_ptr<const Element> title;
};
struct OnAppear {
  Action action;
};
struct OnReceive {
  Notification notification;
  Action action;
};
// A value-change action on a settings-backed cell: changed() answers true once for each change of
// the watched value, and action runs after it did.
struct OnChange {
  struct Watch {
    std::string of;  // the watched cell's name
    std::function<bool()> changed;
    Action action;
  };
  std::shared_ptr<const Watch> watch;
};
struct PickerStyleModifier {
  SegmentedPickerStyle style;
};
struct TabItem {
  std::shared_ptr<const Element> label;
};
struct Background {
  std::shared_ptr<const Element> view;
  Alignment alignment;
};

using Modifier = std::variant<LineLimit, Font, ForegroundColor, Padding, Frame, DisableAutocorrection,
                              AutocapitalizationModifier, SubmitLabelModifier, OnSubmit, OnTapGesture,
                              NavigationViewStyleModifier, NavigationBarTitle, OnAppear, OnReceive, OnChange,
                              PickerStyleModifier, TabItem, Background>;

// The modifier's name as the view framework names it: "lineLimit", "font", "onTapGesture", ...
std::string_view modifierName(const Modifier& modifier);
// The element a modifier carries (a title, a tab item, a background), or nullptr.
const Element* modifierContent(const Modifier& modifier);
// The action a modifier runs, or nullptr when it runs none.
const Action* modifierAction(const Modifier& modifier);

enum class ElementKind : std::uint8_t {
  NavigationView,
  Form,
  Section,
  HStack,
  Text,
  TextField,
  Image,
  Link,
  Spacer,
  ForEach,
  Picker,
  TabView,
  Label,
  Representable,
};

// The rows of a lazy ForEach: positions 0 up to count, each with its row unless it is filtered out.
struct Rows {
  std::size_t count = 0;
  // Whether a position has a row; nothing: every position has one.
  std::function<bool(std::size_t)> shown;
  // The row of a position that has one.
  std::function<Element(std::size_t)> row;
  // A number that changes whenever the row of a position would (its text, its marks, its style):
  // renderers that keep what they drew compare it instead of building the row again. Nothing: the
  // row is built to compare.
  std::function<std::uint64_t(std::size_t)> fingerprint;

  bool isShown(std::size_t position) const { return position < count && (!shown || shown(position)); }
  // A row's key is its position in decimal.
  static std::string keyOf(std::size_t position) { return std::to_string(position); }
  // The position a key names, or nothing when it names none ("07", "-1", "x").
  static std::optional<std::size_t> positionOf(std::string_view key);
};

// Each kind of element with its own properties, and its name as the view framework names it.
namespace kinds {
struct NavigationView {
  static constexpr std::string_view kName = "NavigationView";
  bool operator==(const NavigationView&) const = default;
};
struct Form {
  static constexpr std::string_view kName = "Form";
  bool operator==(const Form&) const = default;
};
struct Section {
  static constexpr std::string_view kName = "Section";
  std::shared_ptr<const Element> header;
};
struct HStack {
  static constexpr std::string_view kName = "HStack";
  bool operator==(const HStack&) const = default;
};
struct Text {
  static constexpr std::string_view kName = "Text";
  std::string text;
  bool verbatim = false;  // shown as written, never looked up as a key
  bool operator==(const Text&) const = default;
};
struct TextField {
  static constexpr std::string_view kName = "TextField";
  std::string title;
  std::shared_ptr<const Binding> text;
};
struct Image {
  static constexpr std::string_view kName = "Image";
  std::string systemName;
  bool operator==(const Image&) const = default;
};
struct Link {
  static constexpr std::string_view kName = "Link";
  std::string title;
  std::string destination;
  bool operator==(const Link&) const = default;
};
struct Spacer {
  static constexpr std::string_view kName = "Spacer";
  std::optional<int> minLength;
  bool operator==(const Spacer&) const = default;
};
// Its items are the element's children, or, for a lazy list, rows built on demand.
struct ForEach {
  static constexpr std::string_view kName = "ForEach";
  std::shared_ptr<const Rows> rows;  // nullptr: the items are the children
};
struct Picker {
  static constexpr std::string_view kName = "Picker";
  std::string label;
  std::shared_ptr<const Binding> selection;
};
struct TabView {
  static constexpr std::string_view kName = "TabView";
  std::size_t selectedTab = 0;  // the tab in view, set by the window that draws it
  bool operator==(const TabView&) const = default;
};
struct Label {
  static constexpr std::string_view kName = "Label";
  std::string title;
  std::string systemImage;
  bool operator==(const Label&) const = default;
};
struct Representable {
  static constexpr std::string_view kName = "Representable";
  std::shared_ptr<UIViewRepresentable> view;
  bool operator==(const Representable&) const = default;
};
}  // namespace kinds

// In the order of ElementKind.
using Properties =
    std::variant<kinds::NavigationView, kinds::Form, kinds::Section, kinds::HStack, kinds::Text,
                 kinds::TextField, kinds::Image, kinds::Link, kinds::Spacer, kinds::ForEach, kinds::Picker,
                 kinds::TabView, kinds::Label, kinds::Representable>;
static_assert(std::variant_size_v<Properties> == static_cast<std::size_t>(ElementKind::Representable) + 1);
static_assert(
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(ElementKind::Text), Properties>,
                   kinds::Text>);

struct Element {
  Properties properties;            // its kind and the properties of that kind
  std::vector<Modifier> modifiers;  // in the order they apply
  std::vector<Element> children;    // a lazy ForEach has none: its rows are built on demand
  std::string key;                  // identity among its siblings; "" means its position

  ElementKind kind() const { return static_cast<ElementKind>(properties.index()); }
  // The element's name as the view framework names it: "Text", "HStack", ...; a representable
  // element's is its view's.
  std::string_view name() const;
  // Its properties when it is of kind K, else nullptr.
  template <class K>
  const K* as() const {
    return std::get_if<K>(&properties);
  }
  // A Section's header, or nullptr.
  const Element* header() const;
  // A lazy ForEach's rows, or nullptr.
  const Rows* rows() const;
  // The cell a TextField or a Picker is bound to, or nullptr.
  const Binding* binding() const;

  // Modifiers, each appended in the order it is applied.
  Element&& lineLimit(std::optional<int> lines) &&;  // nullopt: no limit
  Element&& font(TextStyle style) &&;
  Element&& foregroundColor(Color color) &&;
  Element&& padding(Edges edges = Edges::all) &&;
  Element&& frame(int minHeight, Alignment alignment = Alignment::center) &&;
  Element&& disableAutocorrection(bool disabled) &&;
  Element&& autocapitalization(Autocapitalization type) &&;
  Element&& submitLabel(SubmitLabel label) &&;
  Element&& onSubmit(Action action) &&;
  Element&& onTapGesture(Action action, int count = 1) &&;
  Element&& navigationViewStyle(StackNavigationViewStyle style) &&;
  Element&& navigationBarTitle(Element title) &&;
  Element&& onAppear(Action action) &&;
  Element&& onReceive(Notification notification, Action action) &&;
  // changed() is asked after every event; it answers true once for each change of the watched value.
  Element&& onChange(std::string of, std::function<bool()> changed, Action action) &&;
  Element&& pickerStyle(SegmentedPickerStyle style) &&;
  Element&& tabItem(Element label) &&;
  Element&& background(Element view, Alignment alignment = Alignment::center) &&;
  Element&& keyed(std::string key) &&;

  // The first modifier of that type, or nullptr.
  template <class M>
  const M* modifier() const {
    for (const Modifier& m : modifiers) {
      if (const M* found = std::get_if<M>(&m)) return found;
    }
    return nullptr;
  }
};

// Elements. Texts are shown as written: `verbatim` is false for localisable keys, which show as
// written too since no translation table exists. A text field's title and a picker's label are
// their own properties; a ForEach of items keeps them as its children.
Element Text(std::string text, bool verbatim);
Element Image(std::string systemName);
Element Link(std::string title, std::string destination);
Element Spacer(std::optional<int> minLength = std::nullopt);
Element TextField(std::string title, Binding binding);
Element Label(std::string title, std::string systemImage);
Element NavigationView(Element content);
Element ForEach(std::vector<Element> items);  // a few items, each keyed by its identity
Element ForEach(Rows rows);                   // rows over positions, built when asked for
Element Picker(std::string label, Binding selection, Element content);
Element TabView(std::vector<Element> tabs);
Element HStack(std::vector<Element> children);
Element Form(std::vector<Element> sections);
Element Section(Element header, std::vector<Element> content);
Element Representable(std::shared_ptr<UIViewRepresentable> view);

// A list of elements made by moving each one in: a braced list would copy them.
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

// True when two elements show the same: the same kinds, properties, modifiers and their arguments,
// bindings to the same cell, and children alike, all the way down (a lazy ForEach compares its
// count and shown rows). Actions are not compared: they are closures.
bool sameElement(const Element& a, const Element& b);

// Ids name elements from the root: the root is "", a child is its parent's id, "/", then its key,
// or its position among its siblings when it has none; a Section's header is "/header"; a row of a
// lazy ForEach is keyed by its position.

// Walks the tree depth first, header before children, with each element's id, without building
// any row; stops early when visit returns false. Modifier contents are not walked.
void forEachElement(const Element& root,
                    const std::function<bool(const Element&, std::string_view id)>& visit);

// An element found by its id. Rows built on the way are kept here, so the element lives as long as
// this does.
class FoundElement {
 public:
  const Element* get() const { return element_; }
  const Element* operator->() const { return element_; }
  explicit operator bool() const { return element_ != nullptr; }
  // The outermost row of a lazy ForEach the element lies in (it may be the element itself), and
  // that row's id; nullptr and "" when it lies in none.
  const Element* row() const { return built_.empty() ? nullptr : built_.front().get(); }
  const std::string& rowId() const { return rowId_; }

 private:
  friend FoundElement findElement(const Element& root, std::string_view id);
  const Element* element_ = nullptr;
  std::vector<std::unique_ptr<Element>> built_;
  std::string rowId_;
};

// The element with that id, building the rows it lies in; empty when there is none (a position
// filtered out or past the end of its list included).
FoundElement findElement(const Element& root, std::string_view id);

}  // namespace quillbox
