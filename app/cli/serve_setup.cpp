#include "app/cli/serve_setup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "app/cli/announce.h"
#include "app/cli/cli.h"
#include "app/cli/visit.h"
#include "platform/store/home.h"
#include "platform/store/settings_store.h"
#include "platform/sync/cloud_store.h"
#include "platform/web/cloud_endpoint.h"
#include "platform/web/device_tokens.h"
#include "platform/web/tls_transport.h"
#include "platform/web/web_server.h"

namespace quillbox {

namespace {

// A TLS file that cannot be read, named with the reason, before the TLS library sees it.
Status checkReadable(const char* option, const std::string& file) {
  std::FILE* opened = std::fopen(file.c_str(), "r");
  if (opened == nullptr) {
    return Status::Invalid(std::string(option) + ": cannot read " + terminalSafe(file) + ": " +
                           std::strerror(errno));
  }
  std::fclose(opened);
  return Status::Ok();
}

}  // namespace

std::optional<CheckedServeOptions> checkServeOptions(const ServeOptions& options, std::ostream& err) {
  if (options.listen.find(':') == std::string::npos) {
    err << "quillbox: --listen wants HOST:PORT, and " << terminalSafe(options.listen) << " has no port (e.g. "
        << terminalSafe(options.listen) << ":8080)\n";
    return std::nullopt;
  }
  Result<web::ListenAddress> listen = web::parseListenAddress(options.listen);
  if (!listen) {
    err << "quillbox: " << terminalSafe(listen.status().message()) << "\n";
    return std::nullopt;
  }
  if (options.tlsCert.empty() != options.tlsKey.empty()) {
    err << "quillbox: --tls-cert and --tls-key go together\n";
    return std::nullopt;
  }
  CheckedServeOptions checked{listen.value(), {}, Idiom::phone};
  for (const std::string& given : options.publicOrigins) {
    Result<std::string> origin = parseOrigin("--public-origin", given);
    if (!origin) {
      err << "quillbox: " << origin.status().message() << "\n";
      return std::nullopt;
    }
    checked.publicOrigins.push_back(origin.value());
  }
  for (const Status& readable :
       {checkReadable("--tls-cert", options.tlsCert), checkReadable("--tls-key", options.tlsKey)}) {
    if (!options.tlsCert.empty() && !readable.ok()) {
      err << "quillbox: " << readable.message() << "\n";
      return std::nullopt;
    }
  }
  if (!parseIdiom(options.idiom, &checked.idiom)) {
    err << "quillbox: --idiom is phone or pad\n";
    return std::nullopt;
  }
  return checked;
}

Result<std::shared_ptr<web::CloudEndpoint>> openDevicesEndpoint(const CloudOptions& cloud,
                                                                const std::filesystem::path& home) {
  if (cloud.spec.starts_with("https://") || cloud.spec.starts_with("http://")) {
    return std::shared_ptr<web::CloudEndpoint>();
  }
  Result<std::unique_ptr<CloudTransport>> backing = openCloudBacking(cloud, home);
  Result<std::unique_ptr<DeviceTokens>> devices = DeviceTokens::forCloud(cloud, home);
  if (!backing) return backing.status();
  if (!devices) return devices.status();
  return std::make_shared<web::CloudEndpoint>(std::move(backing).value(),
                                              std::shared_ptr<DeviceTokens>(std::move(devices).value()));
}

Result<ServeStores> openServeStores(const ServeOptions& options) {
  ServeStores opened;
  Result<std::filesystem::path> home = resolveHome(options.home);
  if (!home) return home.status();
  opened.home = home.value();
  Result<std::shared_ptr<SettingsStore>> store = SettingsStore::open(opened.home);
  if (!store) return store.status();
  opened.settings = store.value();
  Result<std::unique_ptr<CloudStore>> cloud = makeCloudStore(options.cloud, opened.home);
  if (!cloud) return cloud.status();
  opened.cloud = std::move(cloud).value();
  // Loopback too: another user of this machine reaches it as well.
  Result<std::string> token = web::loadOrCreateToken(opened.home);
  if (!token) return token.status();
  opened.token = token.value();
  if (!options.tlsCert.empty()) {
    Result<std::shared_ptr<web::TlsContext>> tls = web::TlsContext::load(options.tlsCert, options.tlsKey);
    if (!tls) return tls.status();
    opened.tls = tls.value();
  }
  Result<std::shared_ptr<web::CloudEndpoint>> endpoint = openDevicesEndpoint(options.cloud, opened.home);
  if (!endpoint) return endpoint.status();
  opened.endpoint = endpoint.value();
  return opened;
}

sigset_t blockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signals;
}

}  // namespace quillbox
