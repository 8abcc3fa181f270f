#pragma once

#include <CLI/CLI.hpp>

#include "app/cli/visit.h"

namespace quillbox {

// Adds `undo [notes|tasks|tags]`: takes back this device's latest change of that list (of any list
// when none is named), as it reads from the kept versions: an edit, a command line's change or a
// restore, never a load or a merge from the cloud. One change that wrote the to-dos and their marks
// together is taken back whole. Each undo is itself a change (kept, with the cause "undo", and sent
// to the cloud); a further undo takes back the change before the one already undone.
//
// The change is reverted on the list as it is now: when nothing else changed it since, the list is
// again what it was before the change, byte for byte; otherwise what others did since stays and
// the entries the change removed come back among their neighbours. Prints what was undone and what
// came back. No change left to undo: exit 2, nothing changed.
void addUndoCommand(CLI::App& app, CommandContext& context);

}  // namespace quillbox
