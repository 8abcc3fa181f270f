#pragma once

// The cloud transport of the model in the paired phone's Web Worker. The worker's own fetch reaches the
// server, outside the model and never inside an event: the network never blocks a screen. So a read
// answers with what the worker last fetched of the key (the outbox's local copy when it fetched nothing
// yet), and a write inside an event is only recorded: the worker sends the outbox's pending writes after
// the event (DeviceSession::outgoing).

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sync/cloud_transport.h"

namespace quillbox {

class WorkerTransport : public CloudTransport {
 public:
  explicit WorkerTransport(std::string server) : server_(std::move(server)) {}

  // What the server answered for key (nothing: it holds nothing), as the worker fetched it.
  void setFetched(std::string_view key, std::optional<std::string> value);
  // The answer last fetched for key; nothing in `known` when the worker has not fetched it.
  const std::optional<std::string>* fetched(std::string_view key) const;

  Result<std::optional<std::string>> get(std::string_view key) override;
  Status set(std::string_view key, std::string_view value) override;
  Status setIf(std::span<const ConditionalWrite> writes) override;
  Status checkKey(std::string_view key) const override;
  bool sends() const override { return false; }
  std::string describe() const override { return server_ + "/cloud/v1/"; }
  std::string identity() const override { return server_ + "/cloud/v1/"; }
  std::chrono::milliseconds backoff() const override { return std::chrono::milliseconds(0); }

 private:
  std::string server_;
  std::map<std::string, std::optional<std::string>, std::less<>> fetched_;
};

}  // namespace quillbox
