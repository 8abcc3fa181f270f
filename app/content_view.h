#pragma once

#include <memory>

#include "platform/environment.h"
#include "platform/view/view.h"
#include "platform/view/window.h"
#include "screens/notes/notes_view.h"
#include "screens/tags/tags_view.h"
#include "screens/tasks/todo_view.h"

namespace quillbox {

// The root view: the three screens in a tab container, the window finder behind it. It keeps no
// state of its own beyond the screens' cells.
struct ContentView {
  explicit ContentView(const Environment& env) : notes(env), todo(env), tags(env) {}

  NotesView notes;
  ToDoView todo;
  TagsView tags;

  Element body() const;
};

// The application: one window group whose windows each show a new ContentView over the shared
// stores. Its initialiser is empty; it handles no lifecycle events and touches neither store.
struct QuillboxApp {
  // A new window of the group, drawn for device.
  std::unique_ptr<Window> makeWindow(const Environment& env) const;
};

}  // namespace quillbox
