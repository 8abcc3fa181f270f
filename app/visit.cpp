#include "app/visit.h"

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "app/cli.h"
#include "platform/cloud_store.h"
#include "platform/home.h"

namespace quillbox {

Session::~Session() {
  if (env.cloud) env.cloud().flushPending(kCloudFlushMs);
}

std::string cloudSpec(const GlobalOptions& options) {
  if (options.cloud) return *options.cloud;
  const char* fromEnvironment = std::getenv("QUILLBOX_CLOUD");
  return fromEnvironment ? fromEnvironment : "";
}

std::unique_ptr<Session> openSession(const GlobalOptions& options) {
  Result<std::filesystem::path> home = resolveHome(options.home);
  if (!home) throw Failure{kStoreError, home.status().message()};
  Result<std::shared_ptr<SettingsStore>> store = SettingsStore::open(home.value());
  if (!store) throw Failure{kStoreError, store.status().message()};
  Result<std::unique_ptr<CloudStore>> cloud = makeCloudStore(cloudSpec(options), home.value());
  if (!cloud) throw Failure{kStoreError, cloud.status().message()};
  auto made = std::make_shared<std::unique_ptr<CloudStore>>(std::move(cloud).value());
  configureSharedCloudStore([made] { return std::move(*made); });

  auto session = std::make_unique<Session>();
  session->store = store.value();
  session->store->setDefaultCause("command line");
  if (const char* wait = std::getenv("QUILLBOX_LOCK_WAIT_MS"); wait != nullptr) {
    long ms = 0;
    auto [end, error] = std::from_chars(wait, wait + std::strlen(wait), ms);
    if (error == std::errc() && *end == '\0' && ms >= 0)
      session->store->setLockWait(std::chrono::milliseconds(ms));
  }
  Result<SettingsStore::Lock> lock = session->store->lock();
  if (!lock) throw Failure{kStoreError, lock.status().message()};
  session->lock = std::move(lock).value();
  Idiom idiom = Idiom::phone;
  parseIdiom(options.idiom, &idiom);
  session->env = Environment{session->store, []() -> CloudStore& { return sharedCloudStore(); },
                             std::make_shared<Device>(idiom)};
  return session;
}

void endVisit(Session& session, std::ostream& err) {
  if (Status local = session.store->health(); !local.ok())
    throw Failure{kStoreError, terminalSafe(local.message())};
  CloudStore& cloud = session.env.cloud();
  Status health = cloud.health();
  if (health.ok()) return;
  std::string line = "quillbox: cloud: " + terminalSafe(health.message());
  std::vector<std::string> pending = cloud.pendingKeys();
  if (!pending.empty()) {
    line += "; kept here, not yet sent:";
    for (const std::string& key : pending) line.append(" ").append(terminalSafe(key));
  }
  err << line << "\n";
}

void throwIfFailed(const Status& status) {
  switch (status.code()) {
    case Status::Code::ok:
      return;
    case Status::Code::invalid:
    case Status::Code::notFound:
    case Status::Code::conflict:
      throw Failure{kUsageError, status.message()};
    default:
      throw Failure{kStoreError, status.message()};
  }
}

void runOperation(Window& window, const std::function<Status()>& operation) {
  throwIfFailed(window.perform(operation));
}

}  // namespace quillbox
