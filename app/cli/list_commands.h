#pragma once

#include <CLI/CLI.hpp>

#include "app/cli/visit.h"

namespace quillbox {

// Adds the commands of the three list screens, one visit each: the screen is built, appears (its
// lists load from the cloud), runs the operation as a tap would, runs its Change handlers (so the
// cloud copy follows) and prints the rows it would then draw, numbered by their place in the whole
// list ("N<TAB>text", a to-do with "[x] " or "[ ] ", or with --json one array of objects, one per
// row, a tagged note's with its "tag"). delete and toggle first print a line of what they did
// ("deleted 2 entries equal to "x"", "marked "x" finished").
//
//   notes list [--search TEXT] [--json] | notes add TEXT | notes delete [N] [--text TEXT]
//   tasks list [--search TEXT] [--json] | tasks add TEXT | tasks toggle N [--text TEXT]
//   tasks delete [N] [--text TEXT]
//   tags list [--tag TAG] [--search TEXT] [--json] | tags add [--tag TAG] TEXT
//   tags delete [N] [--text TEXT] [--tag TAG]
//
// TAG is a glyph or a colour name: tags list shows every tag without one, tags add files under red.
// --text TEXT makes delete and toggle act only while row N still holds TEXT (a tagged note's text
// with or without its tag), since another device may have changed the list after the person's
// list; else exit 2 naming what row N holds now. delete --text TEXT without N deletes that value.
// A row number that is not one of the list's, a value no entry holds, or a tag that is none of the
// eight: exit 2, nothing changed.
void addListCommands(CLI::App& app, CommandContext& context);

}  // namespace quillbox
