#include "platform/web/cloud_backing.h"

#include <cstdlib>
#include <string>

#include "platform/transports/folder_transport.h"
#include "platform/transports/redis_transport.h"

namespace quillbox {

Result<std::unique_ptr<CloudTransport>> openCloudBacking(std::string_view spec,
                                                         const std::filesystem::path& home) {
  if (spec.starts_with("https://"))
    return Status::Invalid("a server's cloud store is a folder or a Redis server, not another server (" +
                           std::string(spec) + ")");
  if (spec.starts_with("redis://") || spec.starts_with("unix://")) {
    Result<RedisAddress> parsed = parseRedisAddress(spec);
    if (!parsed.ok()) return parsed.status();
    if (!parsed->password) {
      if (const char* secret = std::getenv("QUILLBOX_REDIS_PASSWORD"); secret && *secret)
        parsed->password = secret;
    }
    return std::unique_ptr<CloudTransport>(std::make_unique<RedisTransport>(std::move(parsed.value())));
  }
  std::filesystem::path folder = home / "cloud";
  if (!spec.empty()) {
    std::error_code error;
    folder = std::filesystem::absolute(std::filesystem::path(spec), error).lexically_normal();
    if (error)
      return Status::Error("cannot find the cloud folder \"" + std::string(spec) + "\": " + error.message());
  }
  Result<std::unique_ptr<FolderTransport>> transport = FolderTransport::open(folder);
  if (!transport.ok()) return transport.status();
  return std::unique_ptr<CloudTransport>(std::move(transport.value()));
}

}  // namespace quillbox
