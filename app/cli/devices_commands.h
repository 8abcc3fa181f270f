#pragma once

#include <CLI/CLI.hpp>

#include "app/cli/visit.h"

namespace quillbox {

// Adds the commands that manage the devices allowed to reach this server's cloud endpoint. They
// act on the device list of the server's cloud store as --cloud names it (in its Redis, else in
// the home), so they are run on the server, with the server's --home and --cloud.
//
//   devices add NAME [--server URL]
//                     a new device: its token, shown this once, and the line that sets the device
//                     up with it (for the server at URL, by default https://THIS-MACHINE:8080/).
//                     A name already taken or a bad name: exit 2, nothing changed
//   devices list      one device a line: name, when it was added, when it was last seen (UTC)
//   devices revoke NAME
//                     ends the device's access at once, on every server of the store. No device of
//                     that name: exit 2
void addDevicesCommands(CLI::App& app, CommandContext& context);

}  // namespace quillbox
