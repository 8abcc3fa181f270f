#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace quillbox {

// The cloud key-value store that mirrors every list to the person's other devices. Only two
// operations exist: nothing flushes it, observes it or removes a key. Calls never throw and
// report no error to their caller; a store that cannot reach its backing answers nothing for
// reads and drops or defers writes, and says why through health().
class CloudStore {
 public:
  virtual ~CloudStore() = default;

  // The string last accepted under key, the empty string included; nothing when the key holds
  // nothing (or the store cannot answer).
  virtual std::optional<std::string> stringForKey(std::string_view key) = 0;

  // Keeps value under key; later reads here, and on other devices sharing the store, return it.
  virtual void setString(std::string_view value, std::string_view key) = 0;

  // What the store is, for people: a folder path or a server address (passwords masked).
  virtual std::string describe() const = 0;

  // Ok, or the last problem the store met (a folder that cannot be written, a refused login).
  virtual Status health() const { return Status::Ok(); }

  // Gives deferred writes one more chance to reach the backing, within about timeoutMs.
  // Stores that never defer do nothing.
  virtual void flushPending(int timeoutMs) { (void)timeoutMs; }
};

// A store held in memory, for tests and for a process that wants no mirror.
class MemoryCloudStore : public CloudStore {
 public:
  std::optional<std::string> stringForKey(std::string_view key) override;
  void setString(std::string_view value, std::string_view key) override;
  std::string describe() const override { return "memory"; }

  // For tests: how many times setString was called.
  int writes() const { return writes_; }

 private:
  std::map<std::string, std::string, std::less<>> values_;
  int writes_ = 0;
};

}  // namespace quillbox
