#pragma once

// A cloud backing held in memory for tests: it can be taken away, and counts the calls that
// reach it.

#include <map>
#include <memory>
#include <string>

#include "platform/cloud_transport.h"

namespace quillbox {

struct MemoryBacking {
  std::map<std::string, std::string, std::less<>> values;
  bool away = false;
  int calls = 0;
};

class MemoryTransport : public CloudTransport {
 public:
  explicit MemoryTransport(std::shared_ptr<MemoryBacking> backing) : backing_(std::move(backing)) {}

  Result<std::optional<std::string>> get(std::string_view key) override {
    ++backing_->calls;
    if (backing_->away) return Status::Unavailable("the backing is away");
    auto found = backing_->values.find(key);
    return found == backing_->values.end() ? std::optional<std::string>() : std::optional(found->second);
  }
  Status set(std::string_view key, std::string_view value) override {
    ++backing_->calls;
    if (backing_->away) return Status::Unavailable("the backing is away");
    backing_->values[std::string(key)] = std::string(value);
    return Status::Ok();
  }
  Status ping() override {
    return backing_->away ? Status::Unavailable("the backing is away") : Status::Ok();
  }
  std::string describe() const override { return "memory"; }
  std::string identity() const override { return "memory"; }

 private:
  std::shared_ptr<MemoryBacking> backing_;
};

}  // namespace quillbox
