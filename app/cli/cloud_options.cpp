#include "app/cli/cloud_options.h"

#include <cstdlib>
#include <string>

namespace quillbox {

namespace {

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

CloudOptions cloudOptions(const GlobalOptions& options) {
  CloudOptions cloud(cloudSpec(options));
  cloud.redisPassword = environmentValue("QUILLBOX_REDIS_PASSWORD");
  cloud.caFile = options.cloudCa ? *options.cloudCa : environmentValue("QUILLBOX_CLOUD_CA");
  cloud.token = environmentValue("QUILLBOX_CLOUD_TOKEN");
  return cloud;
}

}  // namespace quillbox
