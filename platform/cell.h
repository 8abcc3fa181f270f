#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/settings_store.h"
#include "platform/status.h"

namespace quillbox {

// A view-state cell: a value that lives as long as the screen. Copies of a screen record share
// their cells, so an action holding a copy edits the same value the screen draws.
template <class T>
class State {
 public:
  explicit State(T initial = T()) : value_(std::make_shared<T>(std::move(initial))) {}
  const T& get() const { return *value_; }
  void set(T value) const { *value_ = std::move(value); }
  T& mutate() const { return *value_; }

 private:
  std::shared_ptr<T> value_;
};

// A settings-backed text cell over the local settings store: reads give what the store holds
// under the key ("" when nothing), writes go to the store at once. Copies share the cell.
class AppStorage {
 public:
  AppStorage(std::shared_ptr<SettingsStore> store, std::string key);

  const std::string& key() const { return shared_->key; }
  // What the store holds; "" when nothing. When the store cannot be read, "" too, and the cell
  // refuses writes until a read succeeds again: an edit made on an unread list must never write
  // over the whole stored list.
  std::string get() const;
  // Writes through to the store. A write the store refuses (or the cell refuses, above) leaves the
  // stored value as it was and is kept in lastWriteStatus() for the caller to report.
  void set(std::string_view value) const;
  const Status& lastWriteStatus() const { return shared_->lastWrite; }

  // True once for each change of the stored string since the last call, whoever wrote it: this
  // cell, another window, or another process. A write that leaves the string as it was is no change.
  bool takeChange() const;

 private:
  struct Shared {
    std::shared_ptr<SettingsStore> store;
    std::string key;
    std::string seen;            // the value the last takeChange answered for
    std::uint64_t seenGeneration = 0;
    Status lastWrite = Status::Ok();
    Status lastRead = Status::Ok();
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace quillbox
