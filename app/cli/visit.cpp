#include "app/cli/visit.h"

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "app/cli/cli.h"
#include "app/cli/cloud_options.h"
#include "platform/store/home.h"
#include "platform/sync/cloud_store.h"

namespace quillbox {

Session::~Session() {
  if (env.cloud) env.cloud().flushPending(kCloudFlushMs);
}

std::string cloudSpec(const GlobalOptions& options) {
  if (options.cloud) return *options.cloud;
  const char* fromEnvironment = std::getenv("QUILLBOX_CLOUD");
  return fromEnvironment ? fromEnvironment : "";
}

Result<std::unique_ptr<Session>> openSession(const GlobalOptions& options) {
  Result<std::filesystem::path> home = resolveHome(options.home);
  if (!home) return asStoreFailure(home.status());
  Result<std::shared_ptr<SettingsStore>> store = SettingsStore::open(home.value());
  if (!store) return asStoreFailure(store.status());
  Result<std::unique_ptr<CloudStore>> cloud = makeCloudStore(cloudOptions(options), home.value());
  if (!cloud) return asStoreFailure(cloud.status());
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
  if (!lock) return asStoreFailure(lock.status());
  session->lock = std::move(lock).value();
  Idiom idiom = Idiom::phone;
  parseIdiom(options.idiom, &idiom);
  session->env = Environment{session->store, []() -> CloudStore& { return sharedCloudStore(); },
                             std::make_shared<Device>(idiom)};
  return session;
}

Status endVisit(Session& session, std::ostream& err) {
  if (Status local = session.store->health(); !local.ok())
    return Status::Error(terminalSafe(local.message()));
  CloudStore& cloud = session.env.cloud();
  Status health = cloud.health();
  if (health.ok()) return Status::Ok();
  std::string line = "quillbox: cloud: " + terminalSafe(health.message());
  std::vector<std::string> pending = cloud.pendingKeys();
  if (!pending.empty()) {
    line += "; kept here, not yet sent:";
    for (const std::string& key : pending) line.append(" ").append(terminalSafe(key));
  }
  err << line << "\n";
  return Status::Ok();
}

int exitCode(const Status& status) {
  switch (status.code()) {
    case Status::Code::ok:
      return 0;
    case Status::Code::invalid:
    case Status::Code::notFound:
    case Status::Code::conflict:
      return kUsageError;
    default:
      return kStoreError;
  }
}

Status asStoreFailure(const Status& status) {
  if (exitCode(status) != kUsageError) return status;
  return Status::Error(status.message());
}

}  // namespace quillbox
