#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "platform/cloud_store.h"
#include "platform/status.h"

namespace quillbox {

// A cloud store on a Redis server, named by a redis:// or unix:// address.
Result<std::unique_ptr<CloudStore>> makeRedisCloudStore(std::string_view address,
                                                        const std::filesystem::path& home);

}  // namespace quillbox
