#pragma once

#include <CLI/CLI.hpp>

#include "app/cli/visit.h"

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

}  // namespace quillbox
