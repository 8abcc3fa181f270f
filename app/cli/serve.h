#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/transports/cloud_store_spec.h"

namespace CLI {
class App;
}

namespace quillbox {

// How `quillbox serve` runs the app for browsers.
struct ServeOptions {
  std::optional<std::string> home;
  CloudOptions cloud;
  std::string idiom = "phone";
  std::string listen = "127.0.0.1:8080";
  bool open = false;
  std::string tlsCert;  // with tlsKey: HTTPS
  std::string tlsKey;
  bool trustProxy = false;
  std::vector<std::string> publicOrigins;  // --public-origin: where devices reach it behind a proxy
  bool toJournal = false;                  // standard output is the journal: the secret is left out
};

// Adds serve's own options to its subcommand.
void addServeOptions(CLI::App& command, ServeOptions& options);

// Starts the app on the stores the options name and serves it until interrupted. Returns the
// process's exit code.
int runServe(const ServeOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillbox
