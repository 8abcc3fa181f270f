#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "base/escape.h"  // terminalSafe, for what the commands print

namespace quillbox {

// The `quillbox` command line. Each list command is one short visit to a screen: build it, Appear
// (load from the cloud), run the operation, run the Change handlers (so the cloud copy follows),
// print. The whole visit holds the home's lock. Exit codes: 0 done; 1 a store could not be opened
// or written (the message names the path and the reason); 2 a usage error or a row that does not
// exist, with nothing changed.
int runCommandLine(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace quillbox
