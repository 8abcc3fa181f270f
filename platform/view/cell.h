#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/status.h"
#include "platform/store/settings_store.h"

namespace quillbox {

// A view-state cell: a value that lives as long as the screen. Copies of a screen record share
// their cells, so an action holding a copy edits the same value the screen draws. A snapshot is
// the value as it is now, and stays so: a later set or mutate makes a new value instead of
// changing one a snapshot holds (copy on write), so a tree built from a snapshot keeps showing it.
template <class T>
class State {
 public:
  explicit State(T initial = T())
      : slot_(std::make_shared<Slot>(Slot{std::make_shared<T>(std::move(initial))})) {}
  const T& get() const { return *slot_->value; }
  std::shared_ptr<const T> snapshot() const { return slot_->value; }
  void set(T value) const { slot_->value = std::make_shared<T>(std::move(value)); }
  // The value to change in place; copied first when a snapshot still holds it.
  T& mutate() const {
    if (slot_->value.use_count() > 1) slot_->value = std::make_shared<T>(*slot_->value);
    return *slot_->value;
  }

 private:
  struct Slot {
    std::shared_ptr<T> value;
  };
  std::shared_ptr<Slot> slot_;
};

// A settings-backed text cell over the local settings store: reads give what the store holds
// under the key ("" when nothing), writes go to the store at once. Copies share the cell.
class AppStorage {
 public:
  AppStorage(std::shared_ptr<SettingsStore> store, std::string key);

  const std::string& key() const { return shared_->key; }
  // The store it writes through: a change that must be stored together with other writes opens its
  // WriteGroup on it.
  SettingsStore& store() const { return *shared_->store; }

  // What the store holds; "" when the key holds nothing. A store that cannot be read is an
  // error, never a value: an edit made on an unread list must never write over the whole list.
  Result<std::string> read() const;

  // Writes through to the store. A write the store refuses leaves the stored value as it was.
  Status set(std::string_view value) const;

  // Reads the stored string, hands it to edit and writes what edit makes of it. A read that fails
  // writes nothing.
  template <class Edit>
  Status update(Edit&& edit) const {
    Result<std::string> current = read();
    if (!current.ok()) return current.status();
    return set(edit(std::string_view(current.value())));
  }

  // True once for each change of the stored string since the last call, whoever wrote it: this
  // cell, another window, or another process. A write that leaves the string as it was is no
  // change, and neither is a store that cannot be read: the change shows once it can be read.
  bool takeChange() const;

 private:
  struct Shared {
    std::shared_ptr<SettingsStore> store;
    std::string key;
    // The value the last takeChange answered for; nothing while it has never been read, so the
    // first successful read after a failed start is taken as it is, not as a change.
    std::optional<std::string> seen;
    std::uint64_t seenGeneration = 0;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace quillbox
