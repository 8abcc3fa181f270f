#include "app/cli/cli.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>

#include "app/cli/devices_commands.h"
#include "app/cli/history_commands.h"
#include "app/cli/list_commands.h"
#include "app/cli/raw_commands.h"
#include "app/cli/serve.h"
#include "app/cli/undo_command.h"
#include "app/cli/visit.h"
#include "base/escape.h"
#include "platform/app_info.h"

namespace quillbox {

int runCommandLine(int argc, const char* const* argv, std::istream& in, std::ostream& terminal,
                   std::ostream& terminalErr) {
  // What a command prints is collected and written once it has ended and let go of the home's
  // lock: a reader that is slow to take it (a pager, a full pipe) never holds up anyone else.
  std::ostringstream out;
  std::ostringstream err;
  auto printCollected = [&] {
    terminalErr << err.str();
    terminal << out.str();
    terminal.flush();
    err.str("");
    out.str("");
  };

  CLI::App app{"Quillbox: notes, to-dos and tagged notes that follow you to your other devices.", "quillbox"};
  app.set_version_flag("--version", mainAppInfo().appTitle());
  app.require_subcommand(0, 1);
  app.fallthrough();

  GlobalOptions options;
  app.add_option("--home", options.home,
                 "the device's data folder (default: $QUILLBOX_HOME, else $XDG_DATA_HOME/quillbox)");
  app.add_option("--cloud", options.cloud,
                 "cloud store: a folder path, redis://..., unix://... or a Quillbox server "
                 "https://HOST:PORT/ (default: $QUILLBOX_CLOUD, else <home>/cloud)");
  std::string cloudCa;
  app.add_option(
      "--cloud-ca", cloudCa,
      "also trust the certificates in FILE for an https:// cloud store (default: $QUILLBOX_CLOUD_CA)");
  app.add_option("--idiom", options.idiom, "the device the trees are drawn for")
      ->check(CLI::IsMember({"phone", "pad"}));

  Command command;
  CommandContext context{options, command, in, out, err};
  addListCommands(app, context);
  addRawCommands(app, context);
  addHistoryCommands(app, context);
  addUndoCommand(app, context);
  addDevicesCommands(app, context);

  // serve
  ServeOptions serve;
  CLI::App* serveCommand =
      app.add_subcommand("serve", "start the app for a browser on a phone, tablet or desktop");
  addServeOptions(*serveCommand, serve);
  serveCommand->callback([&] { command = nullptr; });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    terminal << app.help();
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    terminal << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::CallForVersion&) {
    terminal << mainAppInfo().appTitle() << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    terminalErr << "quillbox: " << terminalSafe(e.what()) << " (see quillbox --help)\n";
    return kUsageError;
  }

  // The https:// cloud store reads it where it reads its token.
  if (!cloudCa.empty()) ::setenv("QUILLBOX_CLOUD_CA", cloudCa.c_str(), 1);

  if (command) {
    Status outcome = command();  // its session, and with it the lock, ends within
    if (!outcome.ok()) err << "quillbox: " << outcome.message() << "\n";
    printCollected();
    return exitCode(outcome);
  }
  // No list command: the app itself.
  if (app.get_subcommands().empty() || serveCommand->parsed()) {
    serve.home = options.home;
    serve.cloud = cloudSpec(options);
    serve.idiom = options.idiom;
    return runServe(serve, terminal, terminalErr);
  }
  return 0;
}

}  // namespace quillbox
