#include "platform/cell.h"

namespace quillbox {

AppStorage::AppStorage(std::shared_ptr<SettingsStore> store, std::string key)
    : shared_(std::make_shared<Shared>()) {
  shared_->store = std::move(store);
  shared_->key = std::move(key);
  shared_->seenGeneration = shared_->store->generation();
  shared_->seen = shared_->store->get(shared_->key);
}

std::string AppStorage::get() const {
  Result<std::string> stored = shared_->store->read(shared_->key);
  if (!stored) {
    shared_->lastRead = stored.status();
    return "";
  }
  shared_->lastRead = Status::Ok();
  return std::move(stored).value();
}

void AppStorage::set(std::string_view value) const {
  if (!shared_->lastRead.ok()) {
    shared_->lastWrite = Status::Error("not written: " + shared_->key + " could not be read (" +
                                       shared_->lastRead.message() + ")");
    return;
  }
  shared_->lastWrite = shared_->store->set(shared_->key, value);
}

bool AppStorage::takeChange() const {
  // The generation moves with every write to the store; when it stands still nothing can have changed.
  std::uint64_t generation = shared_->store->generation();
  if (generation == shared_->seenGeneration) return false;
  shared_->seenGeneration = generation;
  std::string now = get();
  if (now == shared_->seen) return false;
  shared_->seen = std::move(now);
  return true;
}

}  // namespace quillbox
