#pragma once

// A cloud backing held in memory for tests, shared by every transport made on it (as devices share
// a server): it can be taken away and made to refuse keys, counts the calls that reach it and logs
// the writes it took.

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sync/cloud_transport.h"

namespace quillbox {

struct MemoryBacking {
  std::map<std::string, std::string, std::less<>> values;
  bool away = false;
  std::set<std::string, std::less<>> refused;
  std::set<std::string, std::less<>> unreadable;  // reads of these keys fail, once each
  std::string log;                                // "notes=a; [tasks=t marks=m]; ..." a batch in brackets
  int calls = 0;
};

class MemoryTransport : public CloudTransport {
 public:
  explicit MemoryTransport(std::shared_ptr<MemoryBacking> backing, std::string identity = "memory")
      : backing_(std::move(backing)), identity_(std::move(identity)) {}

  Result<std::optional<std::string>> get(std::string_view key) override {
    ++backing_->calls;
    if (Status away = refusal(""); !away.ok()) return away;
    if (backing_->unreadable.erase(std::string(key)) > 0) return Status::Error("the backing lost the read");
    auto found = backing_->values.find(key);
    return found == backing_->values.end() ? std::optional<std::string>() : std::optional(found->second);
  }
  Status set(std::string_view key, std::string_view value) override {
    const CloudWriteView write{key, value};
    return setMany(std::span(&write, 1)).front();
  }
  // Like a folder: one key after another, a refused key refused alone.
  std::vector<Status> setMany(std::span<const CloudWriteView> writes) override {
    ++backing_->calls;
    std::vector<Status> results;
    std::string batch;
    for (const CloudWriteView& write : writes) {
      if (!results.emplace_back(refusal(write.key)).ok()) continue;
      backing_->values[std::string(write.key)] = write.value;
      batch += (batch.empty() ? "" : " ") + std::string(write.key) + "=" + std::string(write.value);
    }
    if (!batch.empty())
      backing_->log += (backing_->log.empty() ? "" : "; ") + (writes.size() > 1 ? "[" + batch + "]" : batch);
    return results;
  }
  Status ping() override { return refusal(""); }
  std::string describe() const override { return "memory"; }
  std::string identity() const override { return identity_; }
  // Reads and writes leave an away backing alone for the rest of a test; flushes still try.
  std::chrono::milliseconds backoff() const override { return std::chrono::hours(1); }

 private:
  // Why a write of key is refused now, or Ok.
  Status refusal(std::string_view key) const {
    if (backing_->away) return Status::Unavailable("the backing is away");
    return backing_->refused.count(key) > 0 ? Status::Error("the backing refused " + std::string(key))
                                            : Status::Ok();
  }
  std::shared_ptr<MemoryBacking> backing_;
  std::string identity_;
};

}  // namespace quillbox
