#include "platform/redis_cloud_store.h"

namespace quillbox {

Result<std::unique_ptr<CloudStore>> makeRedisCloudStore(std::string_view, const std::filesystem::path&) {
  return Status::Error("the Redis cloud store is not built yet");
}

}  // namespace quillbox
