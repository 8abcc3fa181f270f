#include "platform/window.h"

#include <vector>

namespace quillbox {

namespace {

constexpr std::size_t kNoTab = static_cast<std::size_t>(-1);
constexpr int kMaxChangeRounds = 64;

}  // namespace

Window::Window(Body body, std::shared_ptr<SettingsStore> store, std::shared_ptr<Device> device)
    : body_(std::move(body)), store_(std::move(store)), device_(std::move(device)) {}

Element* Window::tabView() {
  Element* found = nullptr;
  forEachElement(current(), [&](Element& element) {
    if (element.name == "TabView") found = &element;
    return found == nullptr;
  });
  return found;
}

// Runs the actions of every modifier of that name: in the tabs that have appeared (or only in
// onlyTab), and everywhere outside the tab view. Actions are copied first: they may rebuild nothing,
// but a copy keeps the walk safe whatever they do. Every action runs; the first failure is returned.
Status Window::runModifiers(std::string_view name, bool appearedOnly, std::size_t onlyTab) {
  std::vector<Action> actions;
  Element* tabs = tabView();
  std::function<void(Element&)> collect = [&](Element& element) {
    for (const Modifier& m : element.modifiers) {
      if (m.name == name && m.action) actions.push_back(m.action);
    }
    if (element.header) collect(*element.header);
    for (std::size_t i = 0; i < element.children.size(); ++i) {
      if (&element == tabs) {
        bool wanted = onlyTab != kNoTab ? i == onlyTab : (!appearedOnly || appeared_.count(i) > 0);
        if (!wanted) continue;
      }
      collect(element.children[i]);
    }
  };
  collect(current());
  Status first = Status::Ok();
  for (Action& action : actions) {
    Status status = action();
    if (first.ok()) first = std::move(status);
  }
  return first;
}

bool Window::settle(Status& failure) {
  bool any = false;
  Element* tabs = tabView();
  for (int round = 0; round < kMaxChangeRounds; ++round) {
    std::vector<const Modifier*> watchers;
    std::function<void(const Element&)> collect = [&](const Element& element) {
      for (const Modifier& m : element.modifiers) {
        if (m.name == "onChange" && m.changed) watchers.push_back(&m);
      }
      for (std::size_t i = 0; i < element.children.size(); ++i) {
        if (&element == tabs && appeared_.count(i) == 0) continue;
        collect(element.children[i]);
      }
    };
    collect(current());
    bool changed = false;
    for (const Modifier* m : watchers) {
      if (m->changed()) {
        changed = true;
        if (!m->action) continue;
        Status status = m->action();
        if (failure.ok()) failure = std::move(status);
      }
    }
    if (!changed) break;
    any = true;
  }
  return any;
}

void Window::rebuild() {
  stale_ = true;
  ++revision_;
}

const Element& Window::tree() const {
  if (stale_ || !built_) build();
  return tree_;
}

Element& Window::current() {
  if (!built_) build();
  return tree_;
}

void Window::build() const {
  tree_ = body_();
  built_ = true;
  stale_ = false;
  forEachElement(tree_, [&](Element& element) {
    if (element.name != "TabView") return true;
    element.props["selectedTab"] = selectedTab_;
    return false;
  });
  assignIds(tree_);
  // Representable elements, and those a modifier carries (a tab view's background): a new identity
  // makes its view, which the window then places; a known identity is updated; views whose element
  // left the tree are dropped.
  std::map<std::string, std::shared_ptr<UIView>> kept;
  auto keep = [&](UIViewRepresentable& representable, std::string id) {
    auto it = madeViews_.find(id);
    if (it != madeViews_.end()) {
      representable.updateUIView(*it->second);
      kept.emplace(std::move(id), it->second);
    } else if (auto view = representable.makeUIView()) {
      view->placeIn(const_cast<Window*>(this));
      kept.emplace(std::move(id), std::move(view));
    }
  };
  forEachElement(tree_, [&](Element& element) {
    if (element.representable) keep(*element.representable, element.id);
    for (const Modifier& m : element.modifiers) {
      if (m.content && m.content->representable) keep(*m.content->representable, element.id + "/" + m.name);
    }
    return true;
  });
  madeViews_ = std::move(kept);
}

Status Window::appearTab(std::size_t index) {
  appeared_.insert(index);
  return runModifiers("onAppear", false, index);
}

template <class F>
Status Window::event(F&& change) {
  SettingsStore::Lock lock = store_->lock();
  Status status = change();
  Status handlers = Status::Ok();
  settle(handlers);
  rebuild();
  return status.ok() ? handlers : status;
}

Status Window::open() {
  return event([&] {
    rebuild();
    if (tabView() != nullptr) return appearTab(selectedTab_);
    appeared_.insert(0);
    return runModifiers("onAppear", false, kNoTab);
  });
}

Status Window::tap(std::string_view id) {
  return event([&] {
    Element* element = findElement(current(), id);
    const Modifier* m = element ? element->modifier("onTapGesture") : nullptr;
    if (m == nullptr) return Status::NotFound("nothing to tap at " + std::string(id));
    Action action = m->action;
    return action();
  });
}

Status Window::submit(std::string_view id) {
  return event([&] {
    Element* element = findElement(current(), id);
    if (element == nullptr || element->name != "TextField") {
      return Status::NotFound("no field at " + std::string(id));
    }
    // A field without a submit action (a search field) does nothing on submit.
    const Modifier* m = element->modifier("onSubmit");
    if (m == nullptr) return Status::Ok();
    Action action = m->action;
    return action();
  });
}

Status Window::edit(std::string_view id, std::string text) {
  return event([&] {
    Element* element = findElement(current(), id);
    if (element == nullptr || element->name != "TextField" || !element->binding) {
      return Status::NotFound("no field at " + std::string(id));
    }
    element->binding->set(text);
    return Status::Ok();
  });
}

Status Window::select(std::string_view id, std::string value) {
  return event([&] {
    Element* element = findElement(current(), id);
    if (element == nullptr || element->name != "Picker" || !element->binding) {
      return Status::NotFound("no picker at " + std::string(id));
    }
    bool offered = false;
    forEachElement(*element, [&](Element& option) {
      if (option.name == "ForEach") {
        for (const Element& item : option.children) offered = offered || item.key == value;
      }
      return !offered;
    });
    if (!offered) return Status::NotFound("the picker offers no " + value);
    element->binding->set(value);
    return Status::Ok();
  });
}

Status Window::selectTab(std::size_t index) {
  return event([&] {
    Element* tabs = tabView();
    if (tabs == nullptr || index >= tabs->children.size()) {
      return Status::NotFound("no tab " + std::to_string(index + 1));
    }
    if (index == selectedTab_) return Status::Ok();  // already in view: no Appear
    selectedTab_ = index;
    return appearTab(index);
  });
}

Status Window::appear() {
  return event([&] {
    if (tabView() != nullptr) return appearTab(selectedTab_);
    return runModifiers("onAppear", false, kNoTab);
  });
}

Status Window::foreground() {
  return event([&] { return runModifiers("onReceive", true, kNoTab); });
}

Status Window::perform(const std::function<Status()>& operation) { return event(operation); }

bool Window::refresh() {
  SettingsStore::Lock lock = store_->lock();
  Status ignored = Status::Ok();  // shown by the store's own trouble, not by an event
  if (!settle(ignored)) return false;
  rebuild();
  return true;
}

}  // namespace quillbox
