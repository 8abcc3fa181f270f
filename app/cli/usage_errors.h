#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace quillbox {

// The one line a parse error prints: the command it is about ("quillbox notes"), what went wrong in
// the person's words, the closest command or option to a mistyped word when one is close enough,
// and where the help is. app is the parser after the failed parse: the commands it had already taken
// name the place of the error.
std::string usageErrorLine(const CLI::App& app, const CLI::ParseError& error);

// The deepest command a parse took ("quillbox notes list" for `notes list --help`): the one whose
// help is asked for.
const CLI::App& reachedCommand(const CLI::App& app);

// The number of single-character edits (insert, delete, replace, swap two neighbours) from a to b.
std::size_t editDistance(const std::string& a, const std::string& b);

}  // namespace quillbox
