#include "platform/view/cell.h"

namespace quillbox {

AppStorage::AppStorage(std::shared_ptr<SettingsStore> store, std::string key)
    : shared_(std::make_shared<Shared>()) {
  shared_->store = std::move(store);
  shared_->key = std::move(key);
  shared_->seenGeneration = shared_->store->generation();
  if (Result<std::string> stored = shared_->store->read(shared_->key); stored.ok()) {
    shared_->seen = std::move(stored).value();
  }
}

Result<std::string> AppStorage::read() const { return shared_->store->read(shared_->key); }

Status AppStorage::set(std::string_view value) const { return shared_->store->set(shared_->key, value); }

bool AppStorage::takeChange() const {
  // The generation moves with every write to the store; when it stands still nothing can have changed.
  std::uint64_t generation = shared_->store->generation();
  if (generation == shared_->seenGeneration && shared_->seen) return false;
  Result<std::string> now = read();
  if (!now.ok()) return false;  // asked again at the next event, the generation kept as it was
  shared_->seenGeneration = generation;
  if (!shared_->seen) {
    shared_->seen = std::move(now).value();
    return false;
  }
  if (now.value() == *shared_->seen) return false;
  shared_->seen = std::move(now).value();
  return true;
}

}  // namespace quillbox
