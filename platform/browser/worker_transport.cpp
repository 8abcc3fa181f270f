#include "platform/browser/worker_transport.h"

#include "platform/sync/cloud_wire.h"

namespace quillbox {

void WorkerTransport::setFetched(std::string_view key, std::optional<std::string> value) {
  fetched_.insert_or_assign(std::string(key), std::move(value));
}

const std::optional<std::string>* WorkerTransport::fetched(std::string_view key) const {
  auto found = fetched_.find(key);
  return found == fetched_.end() ? nullptr : &found->second;
}

Result<std::optional<std::string>> WorkerTransport::get(std::string_view key) {
  if (const std::optional<std::string>* value = fetched(key)) return *value;
  return Status::Unavailable("the cloud copy of " + std::string(key) + " has not been fetched yet");
}

Status WorkerTransport::set(std::string_view, std::string_view) {
  return Status::Unavailable("the worker sends the writes after the event");
}

Status WorkerTransport::setIf(std::span<const ConditionalWrite>) {
  return Status::Unavailable("the worker sends the writes after the event");
}

Status WorkerTransport::checkKey(std::string_view key) const {
  if (cloudwire::isCloudKey(key)) return Status::Ok();
  return Status::Invalid("the cloud server holds only the lists' cloud keys, not \"" + std::string(key) +
                         "\"");
}

}  // namespace quillbox
