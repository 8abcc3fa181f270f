#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "platform/status.h"
#include "platform/sync/cloud_transport.h"

namespace quillbox {

// The backing a cloud store spec names (see makeCloudStore), reached directly, with no outbox in
// front: what a server's cloud endpoint serves, so that what it answers is what the backing holds.
// A folder (the home's <home>/cloud for "") or a Redis server (its password from the address or
// $QUILLBOX_REDIS_PASSWORD). Invalid for an https:// spec: a server does not serve another's
// endpoint. Fails, with the reason, for a malformed address or a folder that cannot be made.
Result<std::unique_ptr<CloudTransport>> openCloudBacking(std::string_view spec,
                                                         const std::filesystem::path& home);

}  // namespace quillbox
