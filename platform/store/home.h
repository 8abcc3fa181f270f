#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/status.h"

namespace quillbox {

// Reads one environment variable; nothing when it is unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The folder that holds this device's data: the --home flag's folder when given, else
// $QUILLBOX_HOME, else $XDG_DATA_HOME/quillbox, else $HOME/.local/share/quillbox. Empty
// variables count as unset, and a relative $XDG_DATA_HOME is ignored; a relative flag or
// $QUILLBOX_HOME is taken from the working directory. The folder (and any missing parent) is
// created with mode 0700. Fails, naming the folder, when it cannot be created, is not a
// folder or cannot be written, when the flag is empty, and when no variable names a home.
// The result is absolute.
Result<std::filesystem::path> resolveHome(std::optional<std::string> flag);

// The same, reading the environment through env (for tests).
Result<std::filesystem::path> resolveHome(std::optional<std::string> flag, const EnvironmentLookup& env);

// Makes dir and any missing parent, each with mode 0700; a folder that exists is left as it is.
// Fails, naming the path and the reason, when a component is not a folder or cannot be made. In the
// browser the home is only the names of the worker's handles: nothing is made (home_files.h).
Status ensureFolder(const std::filesystem::path& dir);

}  // namespace quillbox
