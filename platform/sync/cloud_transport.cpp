#include "platform/sync/cloud_transport.h"

namespace quillbox {

CloudTransport::Trouble CloudTransport::classify(const Status& failure) const {
  switch (failure.code()) {
    case Status::Code::unavailable:
      return Trouble::unreachable;
    case Status::Code::unauthenticated:
      return Trouble::login;
    default:
      return Trouble::refused;
  }
}

std::vector<Status> CloudTransport::setMany(std::span<const CloudWriteView> writes) {
  std::vector<Status> results;
  results.reserve(writes.size());
  for (const CloudWriteView& write : writes) results.push_back(set(write.key, write.value));
  return results;
}

}  // namespace quillbox
