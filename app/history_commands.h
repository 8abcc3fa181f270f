#pragma once

#include <CLI/CLI.hpp>

#include "app/visit.h"

namespace quillbox {

// Adds the commands that list, restore, export and import the versions of the lists.
void addHistoryCommands(CLI::App& app, CommandContext& context);

}  // namespace quillbox
