#include "app/serve.h"

#include <ostream>

#include <CLI/CLI.hpp>

namespace quillbox {

void addServeOptions(CLI::App& command, ServeOptions& options) {
  command.add_option("--listen", options.listen, "HOST:PORT to listen on (default 127.0.0.1:8080)");
}

int runServe(const ServeOptions&, std::ostream&, std::ostream& err) {
  err << "quillbox: the web app is not built yet; see quillbox --help\n";
  return 2;
}

}  // namespace quillbox
