#include "platform/view/window.h"

#include <functional>
#include <vector>

#include "platform/sync/cloud_store.h"

namespace quillbox {

namespace {

constexpr std::size_t kNoTab = static_cast<std::size_t>(-1);
constexpr int kMaxChangeRounds = 64;

bool isForeground(const Modifier& m) { return std::holds_alternative<OnReceive>(m); }

// Calls visit on every element outside the rows of lists, with the tab it lies in (kNoTab outside
// the tab view), skipping the tabs that skip(tab) names.
template <class E, class Visit, class Skip>
void walkTabs(E& element, const Element* tabs, std::size_t tab, const Visit& visit, const Skip& skip) {
  visit(element, tab);
  if (const Element* header = element.header()) walkTabs(*header, tabs, tab, visit, skip);
  for (std::size_t i = 0; i < element.children.size(); ++i) {
    if (&element == tabs && skip(i)) continue;
    walkTabs(element.children[i], tabs, &element == tabs ? i : tab, visit, skip);
  }
}

}  // namespace

Window::Window(Body body, std::shared_ptr<SettingsStore> store, std::shared_ptr<Device> device)
    : body_(std::move(body)), store_(std::move(store)), device_(std::move(device)) {}

const Element* Window::tabView() const {
  const Element* found = nullptr;
  forEachElement(tree(), [&](const Element& element, std::string_view) {
    if (element.kind() == ElementKind::TabView) found = &element;
    return found == nullptr;
  });
  return found;
}

// Runs the actions of every modifier that wanted picks: in the tabs that have appeared (or only in
// onlyTab), and everywhere outside the tab view. Actions are copied first, so the walk is done
// whatever they do. Every action runs; the first failure is returned.
Status Window::runModifiers(bool (*wanted)(const Modifier&), bool appearedOnly, std::size_t onlyTab) {
  Tree current = snapshot();
  std::vector<Action> actions;
  walkTabs(
      *current, tabView(), kNoTab,
      [&](const Element& element, std::size_t) {
        for (const Modifier& m : element.modifiers) {
          if (const Action* action = modifierAction(m); action != nullptr && wanted(m))
            actions.push_back(*action);
        }
      },
      [&](std::size_t tab) {
        return onlyTab != kNoTab ? tab != onlyTab : appearedOnly && appeared_.count(tab) == 0;
      });
  Status first = Status::Ok();
  for (Action& action : actions) {
    Status status = action();
    if (first.ok()) first = std::move(status);
  }
  return first;
}

bool Window::settle(Status& failure) {
  bool any = false;
  for (int round = 0; round < kMaxChangeRounds; ++round) {
    Tree current = snapshot();
    std::vector<std::shared_ptr<const OnChange::Watch>> watches;
    walkTabs(
        *current, tabView(), kNoTab,
        [&](const Element& element, std::size_t) {
          for (const Modifier& m : element.modifiers) {
            if (const auto* change = std::get_if<OnChange>(&m); change != nullptr && change->watch) {
              watches.push_back(change->watch);
            }
          }
        },
        [&](std::size_t tab) { return appeared_.count(tab) == 0; });
    bool changed = false;
    for (const auto& watch : watches) {
      if (!watch->changed || !watch->changed()) continue;
      changed = true;
      if (!watch->action) continue;
      Status status = watch->action();
      if (failure.ok()) failure = std::move(status);
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

const Window::Tree& Window::snapshot() const {
  if (stale_ || !tree_) build();
  return tree_;
}

void Window::build() const {
  auto root = std::make_shared<Element>(body_());
  stale_ = false;
  std::vector<Element*> pending{root.get()};
  while (!pending.empty()) {
    Element* element = pending.back();
    pending.pop_back();
    if (auto* tabs = std::get_if<kinds::TabView>(&element->properties)) {
      tabs->selectedTab = selectedTab_;
      break;
    }
    for (Element& child : element->children) pending.push_back(&child);
  }
  tree_ = std::move(root);
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
  forEachElement(*tree_, [&](const Element& element, std::string_view id) {
    if (const auto* own = element.as<kinds::Representable>(); own != nullptr && own->view)
      keep(*own->view, std::string(id));
    for (const Modifier& m : element.modifiers) {
      const Element* content = modifierContent(m);
      const auto* carried = content != nullptr ? content->as<kinds::Representable>() : nullptr;
      if (carried != nullptr && carried->view) {
        keep(*carried->view, std::string(id) + "/" + std::string(modifierName(m)));
      }
    }
    return true;
  });
  madeViews_ = std::move(kept);
}

Status Window::appearTab(std::size_t index) {
  appeared_.insert(index);
  return runModifiers([](const Modifier& m) { return std::holds_alternative<OnAppear>(m); }, false, index);
}

template <class F>
Status Window::event(F&& change) {
  Result<SettingsStore::Lock> lock = store_->lock();
  if (!lock.ok()) return lock.status();  // another process holds the home too long: busy
  // Runs body, then the Change handlers it set off; the cloud writes they make are recorded in one
  // transaction with whatever the handlers store (an operation's own writes are stored when it
  // returns, so that a write that fails fails the operation), and go once it is committed.
  auto thenHandlers = [&](Status& handlers, const std::function<Status()>& body) {
    CloudStore::WriteGroup cloudWrites;
    Status ran = body();
    Status recorded = Status::Ok();
    Status committed = Status::Ok();
    {
      SettingsStore::WriteGroup together(*store_);
      settle(handlers);
      rebuild();
      recorded = cloudWrites.close();
      committed = together.commit();
    }
    if (!committed.ok()) {
      Status ignored = Status::Ok();  // the lists drawn follow the store again
      if (settle(ignored)) rebuild();
      if (handlers.ok()) handlers = committed;
      return ran;
    }
    if (handlers.ok() && !recorded.ok()) handlers = recorded;
    Status sent = cloudWrites.send();
    return !ran.ok() ? ran : sent;
  };
  Status caughtUp = Status::Ok();
  Status handlers = Status::Ok();
  Status status = Status::Ok();
  Status sent = thenHandlers(handlers, [&] {
    if (settle(caughtUp)) rebuild();
    status = change();
    return Status::Ok();
  });
  // The sync layer merged this device's edits onto another device's newer copy: the lists drawn follow.
  if (Status ignored = Status::Ok(); settle(ignored)) rebuild();
  if (sent.code() == Status::Code::conflict) sent = Status::Ok();
  if (!caughtUp.ok()) return caughtUp;
  return !status.ok() ? status : !handlers.ok() ? handlers : sent;
}

// Runs operation, keeping what it changes to be undone: the lists just before and after it.
Status Window::recordUndoable(const std::function<Status()>& operation) {
  Result<std::vector<std::string>> before = UndoStack::readLists(*store_);
  Status done = operation();
  if (!done.ok() || !before) return done;
  if (Result<std::vector<std::string>> after = UndoStack::readLists(*store_); after)
    undo_.record(before.value(), after.value());
  return done;
}

template <class F>
Status Window::onElement(std::string_view id, const Tree& seen, F&& act, bool undoable) {
  return event([&]() -> Status {
    if (!undoable) return onRow(id, seen, act);
    return recordUndoable([&] { return onRow(id, seen, act); });
  });
}

template <class F>
Status Window::onRow(std::string_view id, const Tree& seen, F&& act) {
  Tree current = snapshot();
  FoundElement found = findElement(*current, id);
  if (found && seen && found.row() != nullptr) {
    FoundElement saw = findElement(*seen, found.rowId());
    if (!saw || !sameElement(*saw.get(), *found.row())) {
      return Status::Conflict("the row at " + found.rowId() + " changed since it was drawn");
    }
  }
  return act(found.get());
}

Status Window::undo(std::uint64_t offer) {
  bool reloadsMarks = false;
  Status undone = event([&] { return undo_.undo(*store_, offer, reloadsMarks); });
  // The screen reads its finished marks from the store only when it loads.
  if (undone.ok() && reloadsMarks) return appear();
  return undone;
}

Status Window::open() {
  return event([&] {
    rebuild();
    if (tabView() != nullptr) return appearTab(selectedTab_);
    appeared_.insert(0);
    return runModifiers([](const Modifier& m) { return std::holds_alternative<OnAppear>(m); }, false, kNoTab);
  });
}

Status Window::tap(std::string_view id, const Tree& seen) {
  return onElement(
      id, seen,
      [&](const Element* element) {
        const OnTapGesture* tap = element ? element->modifier<OnTapGesture>() : nullptr;
        if (tap == nullptr || !tap->action) return Status::NotFound("nothing to tap at " + std::string(id));
        Action action = tap->action;
        return action();
      },
      true);
}

Status Window::submit(std::string_view id, const Tree& seen) {
  return onElement(
      id, seen,
      [&](const Element* element) {
        if (element == nullptr || element->kind() != ElementKind::TextField) {
          return Status::NotFound("no field at " + std::string(id));
        }
        // A field without a submit action (a search field) does nothing on submit.
        const OnSubmit* submit = element->modifier<OnSubmit>();
        if (submit == nullptr || !submit->action) return Status::Ok();
        Action action = submit->action;
        return action();
      },
      true);
}

Status Window::edit(std::string_view id, std::string text, const Tree& seen) {
  return onElement(id, seen, [&](const Element* element) {
    const Binding* field =
        element != nullptr && element->kind() == ElementKind::TextField ? element->binding() : nullptr;
    if (field == nullptr) return Status::NotFound("no field at " + std::string(id));
    field->set(text);
    return Status::Ok();
  });
}

Status Window::select(std::string_view id, std::string value, const Tree& seen) {
  return onElement(id, seen, [&](const Element* element) {
    const Binding* picked =
        element != nullptr && element->kind() == ElementKind::Picker ? element->binding() : nullptr;
    if (picked == nullptr) return Status::NotFound("no picker at " + std::string(id));
    bool offered = false;
    forEachElement(*element, [&](const Element& option, std::string_view) {
      if (option.kind() == ElementKind::ForEach) {
        for (const Element& item : option.children) offered = offered || item.key == value;
      }
      return !offered;
    });
    if (!offered) return Status::NotFound("the picker offers no " + value);
    picked->set(value);
    return Status::Ok();
  });
}

Status Window::selectTab(std::size_t index) {
  return event([&] {
    const Element* tabs = tabView();
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
    return runModifiers([](const Modifier& m) { return std::holds_alternative<OnAppear>(m); }, false, kNoTab);
  });
}

Status Window::foreground() {
  return event([&] { return runModifiers(isForeground, true, kNoTab); });
}

Status Window::perform(const std::function<Status()>& operation) { return event(operation); }

Status Window::performUndoable(const std::function<Status()>& operation) {
  return event([&] { return recordUndoable(operation); });
}

bool Window::refresh() {
  Result<SettingsStore::Lock> lock = store_->lock();
  if (!lock.ok()) return false;   // picked up at a later refresh
  Status ignored = Status::Ok();  // shown by the store's own trouble, not by an event
  if (!settle(ignored)) return false;
  rebuild();
  return true;
}

}  // namespace quillbox
