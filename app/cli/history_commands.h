#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/cli/visit.h"
#include "base/stored_lists.h"
#include "screens/notes/notes_view.h"
#include "screens/tags/tags_view.h"
#include "screens/tasks/todo_view.h"

namespace quillbox {

// Adds the commands that list, restore, export and import the versions of the lists. A list is
// named notes, tasks, marks (the to-dos' finished marks) or tags.
//
//   history LIST [--json]   the kept versions, newest first: number, time (UTC), the cause of the
//                           write that replaced it, its entry count, and what that write added and
//                           removed (counts and the first three entries of each, shortened)
//   restore LIST N          version N becomes the list again, written through the screen's cell,
//                           so the cloud follows; the value it replaces is kept as a version too.
//                           A number that names no version of LIST: exit 2, nothing changed
//   export [FILE] [--history]
//                           the four lists (and their versions) as one JSON document, to FILE
//                           (replaced whole, never left half written) or standard output
//   import FILE             the lists of such a document (FILE "-": standard input), one restore
//                           per list present. A document that is not one: exit 2; a file that
//                           cannot be read: exit 1; nothing changed either way
//
// The document: {"format": "quillbox-lists", "version": 1, "lists": {NAME: STRING, ...},
// "history": {NAME: [{"number", "time", "cause", and STRING's member}, ...]}} with NAME in the
// order notes, tasks, marks, tags. STRING is {"text": the string} when the string is valid UTF-8,
// else {"base64": its bytes in standard base64 with padding}, so every string comes back byte for
// byte. Import needs "lists" (any of the four names, nothing else), takes "format" and "version"
// when present only if they are these, and ignores "history".
void addHistoryCommands(CLI::App& app, CommandContext& context);

// The screen that shows a list: the to-dos and their marks share one.
enum class Screen { notes, tasks, tags };
constexpr Screen screenOf(const StoredList& list) {
  return list.localKey == kNotesList.localKey  ? Screen::notes
         : list.localKey == kTagsList.localKey ? Screen::tags
                                               : Screen::tasks;
}

// Writes lists back through their screens' cells, each screen opened once (its Appear loads it
// from the cloud first), so that the Change handlers send them to the cloud. Lives within a session.
class ListWriter {
 public:
  explicit ListWriter(Session& session);
  ~ListWriter();

  // Opens the screen of list (loading it from the cloud) unless it is open: its cell.
  Result<const AppStorage*> open(const StoredList& list);

  // Writes the values, with cause as the versions' cause; those of one screen (the to-dos and their
  // marks) in one event and one transaction. Whether each changed, in order.
  Result<std::vector<bool>> write(const std::vector<std::pair<const StoredList*, std::string>>& lists,
                                  std::string_view cause);

 private:
  template <class View>
  Status openView(std::optional<View>& view, std::unique_ptr<Window>& window);

  Session& session_;
  std::optional<NotesView> notes_;
  std::optional<ToDoView> tasks_;
  std::optional<TagsView> tags_;
  std::array<std::unique_ptr<Window>, 3> windows_;
};

}  // namespace quillbox
