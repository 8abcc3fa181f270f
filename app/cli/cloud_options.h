#pragma once

#include "app/cli/visit.h"
#include "platform/transports/cloud_store_spec.h"

namespace quillbox {

// Everything that reaches the cloud store, read once here and passed down: the spec (cloudSpec),
// the certificates to trust (--cloud-ca, else $QUILLBOX_CLOUD_CA), the Redis password an address
// may leave out ($QUILLBOX_REDIS_PASSWORD) and the device token ($QUILLBOX_CLOUD_TOKEN, else the
// home's token file). A variable that is unset or empty counts as not given.
CloudOptions cloudOptions(const GlobalOptions& options);

}  // namespace quillbox
