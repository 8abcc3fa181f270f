#pragma once

#include <CLI/CLI.hpp>
#include <iosfwd>
#include <string_view>

#include "app/cli/visit.h"
#include "platform/status.h"

namespace quillbox {

// The manual page and the shell completions, written from the command line's own definitions so
// that they never drift from it: "man" (quillbox(1) in roff, every command with its options, the
// files, the environment, the exit codes and examples), "bash", "zsh" and "fish" (each a
// completion script for its shell, of the commands and the options at each place). Invalid for
// any other form.
Status writeGenerated(const CLI::App& app, std::string_view form, std::ostream& out);

// Adds the hidden command `generate man|bash|zsh|fish`, which writes them for app to the
// context's output; homeless is set when it is chosen (it reads no home).
void addGenerateCommand(CLI::App& app, CommandContext& context, bool& homeless);

}  // namespace quillbox
