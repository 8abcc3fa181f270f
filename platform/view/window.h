#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/device.h"
#include "platform/status.h"
#include "platform/store/settings_store.h"
#include "platform/view/undo_stack.h"
#include "platform/view/view.h"

namespace quillbox {

// One window of the app: it builds its root view, keeps its own view state through the screens
// it was built with, and runs the events a person makes on it, naming elements by their ids.
//
// Every event runs under the home's exclusive lock, so another process never interleaves with it.
// Before it runs, the window catches up on every change made since its tree was built (others'
// writes: the Change handlers run and the lists are rebuilt). After it, the window runs the Change
// handlers of every watched cell that changed (each after the operation returned, each reading
// afresh, repeated until nothing more changes) and sends the event's cloud writes together. When
// the cloud held them back because another device wrote a list meanwhile, the sync layer merges
// this device's edits onto the newer copy and sends again; the lists drawn then follow the merged
// strings. It builds the tree again when next asked. Several windows may share one
// process and one settings store.
class Window {
 public:
  using Body = std::function<Element()>;
  // A tree as the window built it. It stays as it was, with the lists it was built from, however
  // the window moves on.
  using Tree = std::shared_ptr<const Element>;

  Window(Body body, std::shared_ptr<SettingsStore> store, std::shared_ptr<Device> device);
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Builds the tree and runs Appear for the first tab (for the whole tree when it has no tabs).
  // Every event says how it went: the first failure of catching up, of its operation, else of the
  // handlers that followed it (a store that could not be read or written).
  Status open();

  // Events that name an element. Each fails (notFound), changing nothing, when the id names no
  // element that takes that event. seen is the tree the person made the event on, when the caller
  // drew one: an element in a row of a list is then acted on only when that row shows the same in
  // seen as in the caught-up tree (the same entry at the same position, finished or not alike);
  // otherwise the event fails (conflict) and changes nothing. A row missing from seen (a tree too
  // old to be kept, passed as an empty tree) counts as changed.
  Status tap(std::string_view id, const Tree& seen = nullptr);
  Status submit(std::string_view id, const Tree& seen = nullptr);
  Status edit(std::string_view id, std::string text, const Tree& seen = nullptr);
  Status select(std::string_view id, std::string value,
                const Tree& seen = nullptr);  // a picker's option, by its key

  Status selectTab(std::size_t index);  // Appear runs when the tab comes into view
  Status foreground();
  // Appear for the selected tab, as when the window comes into view again.
  Status appear();

  // Takes back the change a tap or a submit made in this window that it offers to undo (offer's
  // id), on the lists as they are now, as one event: the revert is sent to the cloud like any
  // change and kept in the history. The change before it is offered next. Fails (conflict),
  // changing nothing, when that change is not the one offered now.
  Status undo(std::uint64_t offer);
  // The newest change a tap or a submit made in this window, not yet undone; none before one.
  std::optional<UndoStack::Offer> undoOffer() const { return undo_.offer(); }

  // Runs an operation of the window's screens as one event (a command line's visit does this).
  Status perform(const std::function<Status()>& operation);
  // The same, and what it changes is offered to undo, as a tap's change is.
  Status performUndoable(const std::function<Status()>& operation);

  // The list whose kept versions the window shows beside its tree ("" for none), as the page asked.
  void showHistory(std::string list) {
    history_ = std::move(list);
    rebuild();
  }
  const std::string& shownHistory() const { return history_; }

  // Picks up changes that others made to the store: runs the Change handlers and rebuilds.
  // True when anything changed.
  bool refresh();

  // The tree as it stands after the last event, built when first asked for: a window that nobody
  // draws (a command line's visit) never builds it, and no tree builds rows nobody asks for.
  const Element& tree() const { return *snapshot(); }
  const Tree& snapshot() const;
  // Moves whenever the tree may have changed.
  std::uint64_t revision() const { return revision_; }
  std::size_t selectedTab() const { return selectedTab_; }
  const std::shared_ptr<Device>& device() const { return device_; }
  const std::shared_ptr<SettingsStore>& store() const { return store_; }

 private:
  template <class F>
  Status event(F&& change);
  template <class F>
  Status onElement(std::string_view id, const Tree& seen, F&& act, bool undoable = false);
  Status recordUndoable(const std::function<Status()>& operation);
  template <class F>
  Status onRow(std::string_view id, const Tree& seen, F&& act);
  bool settle(Status& failure);
  void rebuild();      // marks the tree out of date
  void build() const;  // builds it now
  Status appearTab(std::size_t index);
  Status runModifiers(bool (*wanted)(const Modifier&), bool appearedOnly, std::size_t onlyTab);
  const Element* tabView() const;

  Body body_;
  std::shared_ptr<SettingsStore> store_;
  std::shared_ptr<Device> device_;
  mutable Tree tree_;
  mutable bool stale_ = true;  // tree_ is older than the cells
  std::uint64_t revision_ = 0;
  std::size_t selectedTab_ = 0;
  std::set<std::size_t> appeared_;
  mutable std::map<std::string, std::shared_ptr<UIView>> madeViews_;
  UndoStack undo_;
  std::string history_;
};

}  // namespace quillbox
