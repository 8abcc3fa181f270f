// makeCloudStore: the one place that knows every kind of backing (the WebAssembly build has none of
// them, and leaves this file out).
#include "platform/sync/cloud_store.h"
#include "platform/sync/outbox_cloud_store.h"
#include "platform/transports/folder_transport.h"
#include "platform/transports/https_transport.h"
#include "platform/transports/redis_transport.h"

namespace quillbox {

namespace fs = std::filesystem;

Result<std::unique_ptr<CloudStore>> makeCloudStore(std::string_view spec, const fs::path& home) {
  if (spec.starts_with("redis://") || spec.starts_with("unix://")) return makeRedisCloudStore(spec, home);
  if (spec.starts_with("https://")) return makeHttpsCloudStore(spec, home);
  fs::path folder = home / "cloud";
  if (!spec.empty()) {
    std::error_code error;
    folder = fs::absolute(fs::path(spec), error).lexically_normal();
    if (error)
      return Status::Error("cannot find the cloud folder \"" + std::string(spec) + "\": " + error.message());
  }
  Result<std::unique_ptr<FolderTransport>> transport = FolderTransport::open(folder);
  if (!transport.ok()) return transport.status();
  Result<std::unique_ptr<OutboxCloudStore>> store =
      OutboxCloudStore::open(std::move(transport.value()), home);
  if (!store.ok()) return store.status();
  return std::unique_ptr<CloudStore>(std::move(store.value()));
}

}  // namespace quillbox
