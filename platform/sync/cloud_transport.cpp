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

Status CloudTransport::setIf(std::span<const ConditionalWrite> writes) {
  std::vector<CloudWriteView> plain;
  plain.reserve(writes.size());
  for (const ConditionalWrite& write : writes) {
    Result<std::optional<std::string>> held = get(write.key);
    if (!held.ok()) return held.status();
    if (!holdsBaseOrValue(held.value(), write))
      return Status::Conflict("the cloud copy of " + std::string(write.key) + " changed meanwhile");
    plain.push_back({write.key, write.value});
  }
  for (Status& status : setMany(plain)) {
    if (!status.ok()) return std::move(status);
  }
  return Status::Ok();
}

bool holdsBaseOrValue(const std::optional<std::string>& held, const ConditionalWrite& write) {
  if (!held) return true;  // no device removes a key: nothing there was lost, and nothing is overwritten
  return *held == write.value || (write.base && *held == *write.base);
}

}  // namespace quillbox
