#include "app/cli/cli.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "app/cli/announce.h"
#include "app/cli/cloud_options.h"
#include "app/cli/devices_commands.h"
#include "app/cli/generate.h"
#include "app/cli/history_commands.h"
#include "app/cli/home_owner.h"
#include "app/cli/list_commands.h"
#include "app/cli/raw_commands.h"
#include "app/cli/serve.h"
#include "app/cli/undo_command.h"
#include "app/cli/usage_errors.h"
#include "app/cli/visit.h"
#include "base/escape.h"
#include "platform/app_info.h"
#include "platform/store/home.h"
#include "platform/transports/cloud_store_spec.h"

namespace quillbox {

namespace {

// Refuses a cloud store that names no store we know, before anything is made from it (a "file://"
// one becomes its path); and makes a command on another user's home run as its owner, or refuses it.
Status prepareStores(GlobalOptions& options, bool touchesHome, int argc, const char* const* argv) {
  const std::string spec = cloudSpec(options);
  if (Status valid = checkCloudSpec(spec); !valid.ok()) return valid;
  if (!spec.empty()) options.cloud = std::string(cloudFolderPath(spec));
  if (!touchesHome) return Status::Ok();
  std::string words;
  for (int i = 1; i < argc; ++i) words += std::string(i > 1 ? " " : "") + argv[i];
  Result<std::filesystem::path> home = resolveHome(options.home);
  return home ? actAsHomeOwner(home.value(), words) : Status::Ok();
}

// The options every command takes, read into options.
void addGlobalOptions(CLI::App& app, GlobalOptions& options) {
  app.set_version_flag("--version", mainAppInfo().appTitle());
  app.require_subcommand(0, 1);
  app.fallthrough();
  app.add_option("--home", options.home,
                 "the device's data folder (default: $QUILLBOX_HOME, else $XDG_DATA_HOME/quillbox)");
  app.add_option("--cloud", options.cloud,
                 "cloud store: a folder path (or file:///PATH), redis://..., unix://..., a Quillbox server "
                 "https://HOST:PORT/, or http://127.0.0.1:PORT/ on this machine (default: $QUILLBOX_CLOUD, "
                 "else <home>/cloud)");
  app.add_option(
      "--cloud-ca", options.cloudCa,
      "also trust the certificates in FILE for an https:// cloud store (default: $QUILLBOX_CLOUD_CA)");
  app.add_option("--idiom", options.idiom, "the device the trees are drawn for")
      ->check(CLI::IsMember({"phone", "pad"}));
}

// Parses the command line: nothing when a command is to run, else the exit code of what parsing
// already answered (help, the version, a usage error).
std::optional<int> parse(CLI::App& app, int argc, const char* const* argv, std::ostream& terminal,
                         std::ostream& terminalErr) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    terminal << reachedCommand(app).help();
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    terminal << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::CallForVersion&) {
    terminal << mainAppInfo().appTitle() << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    terminalErr << usageErrorLine(app, e) << "\n";
    return kUsageError;
  }
  return std::nullopt;
}

}  // namespace

int runCommandLine(int argc, const char* const* argv, std::istream& in, std::ostream& terminal,
                   std::ostream& terminalErr) {
  CLI::App app{"Quillbox: notes, to-dos and tagged notes that follow you to your other devices.", "quillbox"};
  GlobalOptions options;
  addGlobalOptions(app, options);

  // What a command prints is collected and written once it has ended and let go of the home's
  // lock: a reader that is slow to take it (a pager, a full pipe) never holds up anyone else.
  std::ostringstream out;
  std::ostringstream err;
  Command command;
  CommandContext context{options, command, in, out, err};
  addListCommands(app, context);
  addRawCommands(app, context);
  addHistoryCommands(app, context);
  addUndoCommand(app, context);
  addDevicesCommands(app, context);
  addAddressCommand(app, context);
  bool homeless = false;  // generate reads no home
  addGenerateCommand(app, context, homeless);
  ServeOptions serve;
  CLI::App* serveCommand =
      app.add_subcommand("serve", "start the app for a browser on a phone, tablet or desktop");
  addServeOptions(*serveCommand, serve);
  serveCommand->callback([&] { command = nullptr; });

  if (std::optional<int> answered = parse(app, argc, argv, terminal, terminalErr)) return *answered;
  const bool touchesHome = !homeless && (command || app.get_subcommands().empty() || serveCommand->parsed());
  if (Status ready = prepareStores(options, touchesHome, argc, argv); !ready.ok()) {
    terminalErr << "quillbox: " << ready.message() << "\n";
    return exitCode(ready);
  }
  if (command) {
    Status outcome = command();  // its session, and with it the lock, ends within
    if (!outcome.ok()) err << "quillbox: " << outcome.message() << "\n";
    terminalErr << err.str();
    terminal << out.str();
    terminal.flush();
    return exitCode(outcome);
  }
  // No list command: the app itself.
  if (app.get_subcommands().empty() || serveCommand->parsed()) {
    serve.home = options.home;
    serve.cloud = cloudOptions(options);
    serve.idiom = options.idiom;
    serve.toJournal = outputGoesToJournal(std::getenv("JOURNAL_STREAM"));
    return runServe(serve, terminal, terminalErr);
  }
  return 0;
}

}  // namespace quillbox
