#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"
#include "platform/view/window.h"

namespace quillbox::web {

// What a browser window asks its app window to do, as it arrives in the body of an event request:
//   {"window": "...", "seq": 12, "rev": 7, "type": "tap", "id": "/notes/0/1/1/0/3"}
// type is one of tap, submit, edit (with "text"), select (with "value": the option's key),
// tab (with "index", counted from 0), appear, foreground, undo (with "offer": the id of the change
// the window offered to undo, see TreeFeed), history (with "list": notes, tasks or tags, whose kept
// versions the window then sends with its trees; "" for none), revert and restore (with "list" and
// "offer": a version's number, see revertChange and restoreVersion) and viewport (with "from" and "to": the
// rows of the list "id" the page shows, counted among the rows the list shows). seq counts the
// browser window's events; rev is the revision of the tree the person saw when they made it.
// Two more say where a window's trees go: attach (with "stream", and "idiom" for a new window:
// "window" is "" for one) sends them on that event stream, detach sends them nowhere.
struct ClientEvent {
  enum class Type {
    tap,
    submit,
    edit,
    select,
    tab,
    appear,
    foreground,
    undo,
    history,
    revert,
    restore,
    viewport,
    attach,
    detach
  };

  std::string window;
  std::uint64_t seq = 0;
  std::uint64_t rev = 0;
  Type type = Type::tap;
  std::string id;  // tap, submit, edit, select
  std::string
      text;  // edit: the field's whole text; select: the option's key; history, revert, restore: the list
  std::size_t index = 0;    // tab
  std::uint64_t offer = 0;  // undo; revert, restore: the version
  std::size_t from = 0;     // viewport
  std::size_t to = 0;       // viewport
  std::string stream;       // attach
  std::string idiom;        // attach
};

// Reads an event from a request body. Fails, saying what is wrong, for anything that is not one
// JSON object of the form above: bad JSON or UTF-8, a missing or mistyped member, an unknown
// type, a negative or huge number, values nested more than 8 deep or more than 256 values. The
// limits are checked before anything is built: memory stays near the size of the body.
Result<ClientEvent> parseClientEvent(std::string_view body);

// Runs the event on window: fails, changing nothing, when it names no element that takes it, or
// when it names an element in a row of a list that shows otherwise than in seen, the tree the
// person saw (see Window). A viewport, an attach and a detach are no events of the window: they
// change nothing here.
Status applyClientEvent(Window& window, const ClientEvent& event, const Window::Tree& seen);

// The HTTP status of an event that failed: it named something that is no longer there or changed
// (409), a store could not be read or written or was held by another process (503), or a secret
// was refused (403). The server and the phone's worker answer alike.
int statusForFailure(const Status& failure);

}  // namespace quillbox::web
