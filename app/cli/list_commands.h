#pragma once

#include <CLI/CLI.hpp>

#include "app/cli/visit.h"

namespace quillbox {

// Adds the commands of the three list screens, one visit each: the screen is built, appears (its
// lists load from the cloud), runs the operation as a tap would, runs its Change handlers (so the
// cloud copy follows) and prints the rows it would then draw, numbered by their place in the whole
// list ("N<TAB>text", a to-do with "[x] " or "[ ] ", or with --json one object per row).
//
//   notes list [--search TEXT] [--json] | notes add TEXT | notes delete N
//   tasks list [--search TEXT] [--json] | tasks add TEXT | tasks toggle N | tasks delete N
//   tags list [--tag TAG] [--search TEXT] [--json] | tags add [--tag TAG] TEXT | tags delete N [--tag TAG]
//
// TAG is a glyph or a colour name (red by default). A row number that is not one of the list's, or
// a tag that is none of the eight: exit 2, nothing changed.
void addListCommands(CLI::App& app, CommandContext& context);

}  // namespace quillbox
