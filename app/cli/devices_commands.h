#pragma once

#include <CLI/CLI.hpp>

#include "app/cli/visit.h"

namespace quillbox {

// Adds the commands that manage the devices allowed to reach this server's cloud endpoint. They
// act on the device list of the server's cloud store as --cloud names it (in its Redis, else in
// the home), so they are run on the server, with the server's --home and --cloud.
//
//   devices add NAME [--server URL]
//                     a new device: its token, shown this once, the line that sets a laptop up
//                     with it and a phone's link, both naming one origin: URL, else the one
//                     `quillbox serve` announced. A name already taken, a bad name, or no origin
//                     known: exit 2, nothing changed
//   devices list      one device a line: name, when it was added, when it was last seen (UTC)
//   devices revoke NAME
//                     ends the device's access at once, on every server of the store. No device of
//                     that name: exit 2
void addDevicesCommands(CLI::App& app, CommandContext& context);

// `address`: the page's address with its secret ("ORIGIN/#token=..."), from what `quillbox serve`
// announced on this home. None announced yet: exit 2.
void addAddressCommand(CLI::App& app, CommandContext& context);

}  // namespace quillbox
