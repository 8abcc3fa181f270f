#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"
#include "platform/sync/cloud_store.h"
#include "platform/sync/cloud_transport.h"

namespace quillbox {

// What reaches a cloud store besides its address: read once by the command line and passed down.
struct CloudOptions {
  CloudOptions() = default;
  explicit CloudOptions(std::string_view address) : spec(address) {}

  std::string spec;           // the address (see checkCloudSpec); "" for the folder <home>/cloud
  std::string redisPassword;  // a Redis server's password when the address gives none; "" for none
  std::string caFile;         // certificates an https:// store trusts besides the system's; "" for none
  std::string token;          // an https:// store's device token; "" to read <home>/cloud-token
};

// Whether a cloud store spec is one makeCloudStore understands: "" (the home's folder), a folder
// path, "file://" and a path, "redis://...", "unix://...", "https://...", and "http://..." only to
// a server on this machine (127.0.0.0/8, [::1], localhost), whose tokens never cross a network.
// Any other "SCHEME:" form is Invalid, naming the forms taken, so that a mistyped address never
// becomes a folder named after its scheme.
Status checkCloudSpec(std::string_view spec);

// The folder a "file://" spec names, or the spec itself for any other.
std::string_view cloudFolderPath(std::string_view spec);

// The cloud store the options name, keeping its local copy and pending writes in <home>'s database:
// "" is the folder <home>/cloud; "redis://" and "unix://" a Redis server; "https://" (or "http://"
// on this machine) a Quillbox server's cloud endpoint; any other text a folder path, relative to the
// working directory. Fails, with the reason, for a spec checkCloudSpec refuses, a folder that cannot
// be made, a malformed address, a token file open to others, or a local copy that cannot be opened;
// an unreachable server is no failure here.
Result<std::unique_ptr<CloudStore>> makeCloudStore(const CloudOptions& options,
                                                   const std::filesystem::path& home);

// The backing the options name (a folder or a Redis server), reached directly, with no outbox in
// front: what a server's cloud endpoint serves, so that what it answers is what the backing holds.
// Invalid for an https:// or http:// spec: a server does not serve another's endpoint. Fails, with
// the reason, for a malformed address or a folder that cannot be made.
Result<std::unique_ptr<CloudTransport>> openCloudBacking(const CloudOptions& options,
                                                         const std::filesystem::path& home);

}  // namespace quillbox
