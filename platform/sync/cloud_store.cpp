#include "platform/sync/cloud_store.h"

#include <algorithm>

namespace quillbox {

namespace {
thread_local CloudStore::WriteGroup* tGroup = nullptr;
}  // namespace

Status CloudStore::setStrings(std::vector<CloudWrite> writes) {
  Status first = Status::Ok();
  for (const CloudWrite& write : writes) {
    Status status = setString(write.value, write.key);
    if (first.ok()) first = std::move(status);
  }
  return first;
}

CloudStore::WriteGroup::WriteGroup() {
  if (tGroup == nullptr) {
    tGroup = this;
    outer_ = true;
  }
}

CloudStore::WriteGroup::~WriteGroup() {
  if (outer_ && !closed_ && close().ok()) (void)send();
}

CloudStore::WriteGroup* CloudStore::WriteGroup::current() { return tGroup; }

Status CloudStore::WriteGroup::close() {
  if (!outer_ || closed_) return Status::Ok();
  closed_ = true;
  tGroup = nullptr;  // the stores now write for real
  Status first = Status::Ok();
  for (auto& [store, writes] : writes_) {
    if (!store->recordsLocally()) {
      unsent_.emplace_back(store, std::move(writes));
      continue;
    }
    Status status = store->setStrings(std::move(writes));
    closedStores_.push_back(store);
    if (first.ok()) first = std::move(status);
  }
  writes_.clear();
  return first;
}

Status CloudStore::WriteGroup::send() {
  Status first = Status::Ok();
  for (auto& [store, writes] : unsent_) {
    Status status = store->setStrings(std::move(writes));
    if (first.ok()) first = std::move(status);
  }
  unsent_.clear();
  for (CloudStore* store : closedStores_) {
    Status status = store->sendRecorded();
    if (first.ok()) first = std::move(status);
  }
  closedStores_.clear();
  return first;
}

void CloudStore::WriteGroup::defer(CloudStore& store, std::string_view key, std::string_view value) {
  auto entry = std::find_if(writes_.begin(), writes_.end(), [&](const auto& e) { return e.first == &store; });
  if (entry == writes_.end()) entry = writes_.insert(writes_.end(), {&store, {}});
  std::vector<CloudWrite>& writes = entry->second;
  auto same = std::find_if(writes.begin(), writes.end(), [&](const CloudWrite& w) { return w.key == key; });
  if (same != writes.end()) {
    same->value = std::string(value);
  } else {
    writes.push_back(CloudWrite{std::string(key), std::string(value)});
  }
}

void CloudStore::WriteGroup::recordedNow(CloudStore& store, std::string_view key) {
  for (auto& [owner, writes] : writes_) {
    if (owner == &store) std::erase_if(writes, [&](const CloudWrite& w) { return w.key == key; });
  }
  if (std::find(closedStores_.begin(), closedStores_.end(), &store) == closedStores_.end())
    closedStores_.push_back(&store);
}

const std::string* CloudStore::WriteGroup::deferred(const CloudStore& store, std::string_view key) const {
  for (const auto& [owner, writes] : writes_) {
    if (owner != &store) continue;
    for (const CloudWrite& write : writes) {
      if (write.key == key) return &write.value;
    }
  }
  return nullptr;
}

std::optional<std::string> MemoryCloudStore::stringForKey(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

Status MemoryCloudStore::setString(std::string_view value, std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  values_.insert_or_assign(std::string(key), std::string(value));
  ++writes_;
  return Status::Ok();
}

int MemoryCloudStore::writes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return writes_;
}

namespace {

struct SharedCloudStore {
  std::mutex mutex;
  std::function<std::unique_ptr<CloudStore>()> make;  // guarded by mutex
  bool made = false;                                  // guarded by mutex
  std::once_flag once;
  CloudStore* store = nullptr;
};

SharedCloudStore& shared() {
  // Never destroyed: the store must outlive every thread that may still use it at exit.
  static SharedCloudStore* instance = new SharedCloudStore();
  return *instance;
}

}  // namespace

void configureSharedCloudStore(std::function<std::unique_ptr<CloudStore>()> make) {
  SharedCloudStore& state = shared();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (!state.made) state.make = std::move(make);
}

CloudStore& sharedCloudStore() {
  SharedCloudStore& state = shared();
  std::call_once(state.once, [&state] {
    std::function<std::unique_ptr<CloudStore>()> make;
    {
      std::lock_guard<std::mutex> guard(state.mutex);
      state.made = true;
      make = std::move(state.make);
    }
    std::unique_ptr<CloudStore> store = make ? make() : nullptr;
    if (!store) store = std::make_unique<MemoryCloudStore>();
    state.store = store.release();
  });
  return *state.store;
}

}  // namespace quillbox
