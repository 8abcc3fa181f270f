#pragma once

#include <CLI/CLI.hpp>

#include "app/cli/visit.h"

namespace quillbox {

// Adds the commands that look beneath the screens:
//
//   tree SCREEN [--json]    the view tree of notes, tasks, tags or the whole app after its Appear
//   store get KEY           the string under KEY in the settings store ("" when none)
//   store set KEY VALUE     VALUE ("-": standard input) under KEY, as it is
//   cloud get KEY           the string under KEY in the cloud store; exit 1 when it holds nothing
//   cloud set KEY VALUE     VALUE under KEY; one the store keeps to send later is not lost
//   cloud status            the store, whether it answers, and the keys waiting to be sent
void addRawCommands(CLI::App& app, CommandContext& context);

}  // namespace quillbox
