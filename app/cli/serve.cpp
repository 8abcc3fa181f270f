#include "app/cli/serve.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/announce.h"
#include "app/cli/cli.h"
#include "app/cli/serve_setup.h"
#include "app/cli/visit.h"
#include "app/content_view.h"
#include "base/hex.h"
#include "platform/main_queue.h"
#include "platform/store/home.h"
#include "platform/store/settings_store.h"
#include "platform/sync/cloud_store.h"
#include "platform/sync/outbox_cloud_store.h"
#include "platform/web/cloud_endpoint.h"
#include "platform/web/device_tokens.h"
#include "platform/web/tls_transport.h"
#include "platform/web/web_security.h"
#include "platform/web/web_server.h"

extern char** environ;

namespace quillbox {

namespace {

// Gives a cloud store's deferred writes another chance now and then: every second while the
// store is well, backing off to every half minute while it is not.
class CloudFlusher {
 public:
  void tick() {
    auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    CloudStore& cloud = sharedCloudStore();
    cloud.flushPending(kTickFlushMs);
    delay_ = cloud.health().ok() ? kShortest : std::min(delay_ * 2, kLongest);
    next_ = now + delay_;
  }

 private:
  static constexpr int kTickFlushMs = 100;
  static constexpr std::chrono::milliseconds kShortest{1000};
  static constexpr std::chrono::milliseconds kLongest{30000};
  std::chrono::milliseconds delay_ = kShortest;
  std::chrono::steady_clock::time_point next_{};
};

std::string hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

// The addresses a browser elsewhere on the network can use for a server on every interface.
std::vector<std::string> networkAddresses(bool ipv6) {
  std::vector<std::string> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
    if (item->ifa_addr == nullptr || (item->ifa_flags & IFF_LOOPBACK) != 0 || (item->ifa_flags & IFF_UP) == 0)
      continue;
    int family = item->ifa_addr->sa_family;
    if (family != AF_INET && !(ipv6 && family == AF_INET6)) continue;
    char text[NI_MAXHOST] = {};
    socklen_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (getnameinfo(item->ifa_addr, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
    std::string address = text;
    if (family == AF_INET6) {
      if (address.rfind("fe80", 0) == 0) continue;  // link-local needs a zone a browser cannot take
      address = "[" + address + "]";
    }
    if (std::find(found.begin(), found.end(), address) == found.end()) found.push_back(address);
  }
  freeifaddrs(list);
  return found;
}

// Opens url in the desktop's browser; a desktop without one is told nothing. The browser is given
// a private file of the home that leads on to the address, not the address itself: a program's
// arguments can be read by every user of the machine, and the address holds the secret.
void openBrowser(const std::filesystem::path& home, const std::string& url) {
  const std::filesystem::path launcher = home / "open.html";
  std::string page =
      "<!doctype html><meta charset=\"utf-8\"><meta name=\"referrer\" content=\"no-referrer\">"
      "<meta http-equiv=\"refresh\" content=\"0;url=" +
      url +
      "\"><title>Quillbox</title>"
      "<a href=\"" +
      url + "\">Open Quillbox</a>\n";
  int fd = ::open(launcher.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  bool written =
      ::fchmod(fd, 0600) == 0 && ::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
  ::close(fd);
  if (!written) return;
  pid_t pid = 0;
  std::string program = "xdg-open";
  std::string address = "file://";
  for (unsigned char c : launcher.string()) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      address += static_cast<char>(c);
    } else {
      address += '%';
      appendHexByte(address, c, HexCase::upper);
    }
  }
  char* argv[] = {program.data(), address.data(), nullptr};
  if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0) {
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  }
}

// The server's options: where it listens, its secret and names, the endpoint, and the windows it
// opens on the home's lists.
web::WebServerOptions serverOptions(const ServeStores& opened, const CheckedServeOptions& checked,
                                    bool trustProxy, const std::string& machine, std::function<void()> tick) {
  web::WebServerOptions options;
  options.listen = checked.listen;
  options.token = opened.token;
  if (!machine.empty()) options.machineNames = {machine, machine + ".local"};
  options.publicOrigins = checked.publicOrigins;
  options.defaultIdiom = checked.idiom;
  options.cloud = opened.endpoint;
  options.http.tls = opened.tls;
  options.http.trustProxy = trustProxy;
  std::shared_ptr<SettingsStore> settings = opened.settings;
  options.store = settings;
  options.makeWindow = [settings](Idiom windowIdiom) {
    Environment env{settings, []() -> CloudStore& { return sharedCloudStore(); },
                    std::make_shared<Device>(windowIdiom)};
    return QuillboxApp().makeWindow(env);
  };
  options.tick = std::move(tick);
  options.statusLine = [settings] {
    // This device's own store first: a list it cannot read or write matters more than the mirror.
    if (Status local = settings->health(); !local.ok()) return "Lists on this device: " + local.message();
    Status health = sharedCloudStore().health();
    return health.ok() ? std::string() : "Cloud copy not updated: " + health.message();
  };
  return options;
}

// What a person reads once the server listens: the addresses to open, what devices reach, and
// where the secret is kept.
void printWelcome(std::ostream& out, const ServeOptions& options, const ServeStores& opened,
                  const std::vector<std::string>& addresses, const std::string& origin, bool loopback) {
  out << "Quillbox is running. Open " << (addresses.size() > 1 ? "one of these" : "this")
      << " in a browser:\n";
  for (const std::string& address : addresses) out << "  " << terminalSafe(address) << "\n";
  if (opened.endpoint) {
    out << "Devices reach its cloud store at " << terminalSafe(origin)
        << "/ with a token from `quillbox devices add NAME`.\n";
    if (!opened.tls && !loopback) {
      out << "Without --tls-cert and --tls-key, devices on other machines are refused: their tokens "
             "would cross the network in clear.\n";
    }
  }
  if (options.toJournal) {
    out << "The address to open carries a secret, left out here: `quillbox address` prints it.\n";
  } else {
    out << "The address holds this app's secret (kept in "
        << terminalSafe((opened.home / "web-token").string()) << "): share it only with your own devices.\n";
  }
  out << "Press Ctrl-C to stop.\n";
  out.flush();
}

}  // namespace

void addServeOptions(CLI::App& command, ServeOptions& options) {
  command.add_option(
      "--listen", options.listen,
      "HOST:PORT to listen on (default 127.0.0.1:8080; port 0 picks a free one). The address to "
      "open, printed at start, holds the app's secret token");
  command.add_flag("--open", options.open, "open the app in this desktop's browser");
  command.add_option("--tls-cert", options.tlsCert,
                     "serve over HTTPS with this PEM certificate (chain); needs --tls-key");
  command.add_option("--tls-key", options.tlsKey, "the PEM private key of --tls-cert");
  command.add_flag("--trust-proxy", options.trustProxy,
                   "a reverse proxy on this machine forwards the requests: the client's address and "
                   "whether it used HTTPS come from its X-Forwarded-For and X-Forwarded-Proto");
  command.add_option("--public-origin", options.publicOrigins,
                     "URL (https://HOST[:PORT], repeatable) where devices reach this server, as behind a "
                     "reverse proxy: the first is announced and printed by `quillbox devices add`, and "
                     "pages from each are accepted");
}

int runServe(const ServeOptions& options, std::ostream& out, std::ostream& err) {
  std::optional<CheckedServeOptions> checked = checkServeOptions(options, err);
  if (!checked) return kUsageError;
  Result<ServeStores> opened = openServeStores(options);
  if (!opened) {
    err << "quillbox: " << terminalSafe(opened.status().message()) << "\n";
    return kStoreError;
  }
  auto made = std::make_shared<std::unique_ptr<CloudStore>>(std::move(opened.value().cloud));
  configureSharedCloudStore([made] { return std::move(*made); });

  // Interrupts end the app in good order: the signal thread stops the server, then the queue.
  const sigset_t signals = blockStopSignals();

  auto flusher = std::make_shared<CloudFlusher>();
  const std::string machine = hostName();
  MainQueue& queue = MainQueue::main();
  web::WebServer server(
      serverOptions(opened.value(), *checked, options.trustProxy, machine, [flusher] { flusher->tick(); }),
      queue);
  if (Status started = server.start(); !started.ok()) {
    err << "quillbox: " << terminalSafe(started.message()) << "\n";
    return kStoreError;
  }
  // The app's windows never wait on the cloud: their writes are delivered by a sender of their own.
  OutboxCloudStore* sender = sharedCloudStore().outbox();
  if (sender != nullptr) sender->sendInBackground();

  const web::ListenAddress& listen = checked->listen;
  const bool tls = opened.value().tls != nullptr;
  const std::vector<std::string> origins = announcedOrigins(
      {checked->publicOrigins, tls ? "https://" : "http://", listen.host, server.port(),
       tls ? certificateName(options.tlsCert) : "", networkAddresses(listen.host == "::"), machine});
  // `quillbox devices add` and `quillbox address` print from it.
  if (Status kept = web::saveServerAddress(opened.value().home, origins.front()); !kept.ok()) {
    err << "quillbox: " << terminalSafe(kept.message()) << "\n";
  }
  // The journal is read by more than the home's owner: the secret stays out of it.
  const std::string secret = options.toJournal ? "/" : "/#token=" + opened.value().token;
  std::vector<std::string> addresses;
  for (const std::string& origin : origins) addresses.push_back(origin + secret);
  printWelcome(out, options, opened.value(), addresses, origins.front(), web::isLoopbackHost(listen.host));
  if (options.open) openBrowser(opened.value().home, addresses.front());

  std::thread waiter([&server, &queue, signals] {
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    queue.stop();
  });
  queue.run();
  waiter.join();
  // What the sender did not deliver in time stays in the outbox for the next process.
  if (sender != nullptr) sender->stopSending(std::chrono::milliseconds(kCloudFlushMs));
  sharedCloudStore().flushPending(kCloudFlushMs);
  out << "Quillbox stopped.\n";
  return 0;
}

}  // namespace quillbox
