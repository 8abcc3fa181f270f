#pragma once

#include <signal.h>

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/serve.h"
#include "platform/device.h"
#include "platform/status.h"
#include "platform/web/web_security.h"

namespace quillbox {

class CloudStore;
class SettingsStore;

namespace web {
class CloudEndpoint;
class TlsContext;
}  // namespace web

// Serve's options once checked: what the server is started with.
struct CheckedServeOptions {
  web::ListenAddress listen;
  std::vector<std::string> publicOrigins;  // normalised origins, in the order given
  Idiom idiom = Idiom::phone;
};

// Checks serve's options before anything is opened: a bad one is explained on err and gives
// nullopt (a usage error).
std::optional<CheckedServeOptions> checkServeOptions(const ServeOptions& options, std::ostream& err);

// The devices' cloud endpoint, serving this server's own backing. A server whose cloud store is
// another server has none: nullptr. A backing or token list that cannot be opened is the error.
Result<std::shared_ptr<web::CloudEndpoint>> openDevicesEndpoint(const CloudOptions& cloud,
                                                                const std::filesystem::path& home);

// What serve opens before it listens, in this order: the home and its lists, the cloud store, the
// page's secret (made on the first start), the TLS certificate when given, the devices' endpoint.
struct ServeStores {
  std::filesystem::path home;
  std::shared_ptr<SettingsStore> settings;
  std::unique_ptr<CloudStore> cloud;
  std::string token;
  std::shared_ptr<web::TlsContext> tls;          // nullptr: plain HTTP
  std::shared_ptr<web::CloudEndpoint> endpoint;  // nullptr: no endpoint (see openDevicesEndpoint)
};
// The first of them that cannot be opened is the error, naming what and why.
Result<ServeStores> openServeStores(const ServeOptions& options);

// Blocks the signals that stop the server in every thread started from now on, and ignores
// SIGPIPE; returns the blocked set, for the thread that waits for them.
sigset_t blockStopSignals();

}  // namespace quillbox
