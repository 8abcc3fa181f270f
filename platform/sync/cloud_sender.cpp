#include "platform/sync/cloud_sender.h"

#include <algorithm>
#include <map>

#include "base/stored_lists.h"
#include "platform/sync/merge_load.h"
#include "platform/sync/outbox_cloud_store.h"

namespace quillbox {

namespace {

constexpr int kMaxMergeRounds = 4;

using Fetched = std::map<std::string, std::optional<std::string>, std::less<>>;

// The cloud as a merge sees it: the backing's values fetched beforehand, and the outbox store that
// records what the merge writes (in the merge's own transaction).
class FetchedCloud : public CloudStore {
 public:
  FetchedCloud(OutboxCloudStore& store, const Fetched& fetched) : store_(store), fetched_(fetched) {}
  std::optional<std::string> stringForKey(std::string_view key) override {
    auto found = fetched_.find(key);
    return found == fetched_.end() ? std::nullopt : found->second;
  }
  Status setString(std::string_view value, std::string_view key) override {
    return store_.setString(value, key);
  }
  std::string describe() const override { return store_.describe(); }
  Result<LoadCopy> loadCopy(std::string_view key) override {
    auto found = fetched_.find(key);
    if (found == fetched_.end())
      return Status::Error("the cloud copy of " + std::string(key) + " was not fetched");
    return store_.loadCopyOf(key, found->second);
  }
  Status rebase(std::string_view key, const std::optional<std::string>& value) override {
    return store_.rebase(key, value);
  }
  bool recordsLocally() const override { return true; }

 private:
  OutboxCloudStore& store_;
  const Fetched& fetched_;
};

}  // namespace

Result<std::optional<std::string>> SerialTransport::get(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  return inner_->get(key);
}

Status SerialTransport::set(std::string_view key, std::string_view value) {
  std::lock_guard<std::mutex> guard(mutex_);
  return inner_->set(key, value);
}

std::vector<Status> SerialTransport::setMany(std::span<const CloudWriteView> writes) {
  std::lock_guard<std::mutex> guard(mutex_);
  return inner_->setMany(writes);
}

Status SerialTransport::setIf(std::span<const ConditionalWrite> writes) {
  std::lock_guard<std::mutex> guard(mutex_);
  return inner_->setIf(writes);
}

Result<bool> SerialTransport::madeEarlier(std::span<const ConditionalWrite> writes) {
  std::lock_guard<std::mutex> guard(mutex_);
  return inner_->madeEarlier(writes);
}

Status SerialTransport::ping() {
  std::lock_guard<std::mutex> guard(mutex_);
  return inner_->ping();
}

void OutboxCloudStore::sendInBackground() {
  if (sender_) return;
  sender_ = std::make_unique<CloudSender>(*this);
  sender_->wake();
}

void OutboxCloudStore::stopSending(std::chrono::milliseconds bound) {
  if (!sender_) return;
  (void)sender_->drain(bound);
  sender_->stop();
  sender_.reset();
}

CloudSender::CloudSender(OutboxCloudStore& store) : store_(store), thread_([this] { run(); }) {}

CloudSender::~CloudSender() { stop(); }

void CloudSender::wake() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++asked_;
  }
  changed_.notify_all();
}

bool CloudSender::drain(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> guard(mutex_);
  const std::uint64_t mine = ++asked_;
  changed_.notify_all();
  return changed_.wait_for(guard, bound, [&] { return ended_ >= mine || !thread_.joinable(); });
}

void CloudSender::stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CloudSender::run() {
  std::unique_lock<std::mutex> guard(mutex_);
  for (;;) {
    changed_.wait(guard, [&] { return stopping_ || asked_ > ended_; });
    if (stopping_) return;
    const std::uint64_t answering = asked_;
    guard.unlock();
    pass();
    guard.lock();
    ended_ = answering;
    changed_.notify_all();
  }
}

void CloudSender::pass() {
  Result<HomeLock::Held> sending = store_.sendLock_->lock(std::chrono::milliseconds(0));
  if (!sending.ok()) return;  // another sender of the home delivers them
  for (int round = 0;; ++round) {
    std::vector<Planned> plan = planned();
    if (plan.empty()) return;
    Learnt learnt = send(plan);
    if ((learnt.moved.empty() && !learnt.replacedMade) || round == kMaxMergeRounds) return;
    if (!learnt.moved.empty() && !mergeOnto(learnt.moved)) return;
  }
}

std::vector<CloudSender::Planned> CloudSender::planned() {
  auto guard = store_.outbox_->hold();
  if (store_.backingOff()) return {};
  Result<std::vector<Outbox::Pending>> writes = store_.outbox_->nextSends();
  if (!writes.ok()) {
    store_.problem_ = writes.status();
    return {};
  }
  std::vector<syncengine::Pending> keys;
  for (const Outbox::Pending& write : writes.value()) keys.push_back({write.id, write.key});
  std::vector<Planned> plan;
  std::vector<Outbox::Sent> going;
  for (std::size_t i : syncengine::sendable(keys, {}, keys.size())) {
    Outbox::Pending& write = writes.value()[i];
    Result<Outbox::Base> base = store_.outbox_->baseOf(write.key);
    if (!base.ok()) {
      store_.problem_ = base.status();
      return {};
    }
    going.push_back({write.id, write.key, write.name, write.replaced});
    plan.push_back(Planned{write.id, std::move(write.key), std::move(write.value), write.batch,
                           std::move(write.name), std::move(base).value(), write.replaced});
  }
  if (Status marked = store_.outbox_->sending(going); !marked.ok()) {
    store_.problem_ = marked;
    return {};
  }
  return plan;
}

CloudSender::Learnt CloudSender::send(const std::vector<Planned>& plan) {
  // On the backing, without the store: one conditional group per change recorded, in order; after a
  // failure other than a refusal of that group, the rest wait too.
  CloudTransport& transport = *store_.transport_;
  std::vector<Status> results(plan.size(), Status::Ok());
  Status failure = Status::Ok();
  std::vector<std::int64_t> batches;
  for (const Planned& write : plan) {
    if (std::find(batches.begin(), batches.end(), write.batch) == batches.end())
      batches.push_back(write.batch);
  }
  for (std::int64_t batch : batches) {
    std::vector<OutboxCloudStore::Sending> group;
    std::vector<syncengine::Base> bases;
    for (const Planned& write : plan) {
      if (write.batch != batch) continue;
      group.push_back({write.id, write.key, write.value, write.batch, write.name});
      bases.push_back(write.base);
    }
    const bool stopped = !failure.ok() && transport.classify(failure) != CloudTransport::Trouble::refused;
    Status sent = stopped ? failure : OutboxCloudStore::sendOnBases(transport, group, bases);
    for (std::size_t i = 0; i < plan.size(); ++i) {
      if (plan[i].batch == batch) results[i] = sent;
    }
    if (!sent.ok() && (failure.ok() || failure.code() == Status::Code::conflict)) failure = sent;
  }
  // What the answers teach, recorded before any newer write of these keys goes.
  auto guard = store_.outbox_->hold();
  std::vector<Outbox::Delivered> delivered;
  std::vector<Outbox::Sent> notMade;
  Learnt learnt;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const Planned& write = plan[i];
    syncengine::Step step = syncengine::onAnswer(syncengine::answerOf(results[i]));
    if (step.deliver)
      delivered.push_back({write.id, write.key, write.value, &write.base, write.name, write.replaced});
    if (step.merge) learnt.moved.push_back(write.key);
    if (!step.deliver && !step.backOff && !step.stop)
      notMade.push_back({write.id, write.key, write.name, write.replaced});
    learnt.replacedMade = learnt.replacedMade || (step.deliver && write.replaced);
  }
  store_.note(failure);
  Status forgotten = store_.outbox_->delivered(delivered);
  if (Status noted = store_.outbox_->notMade(notMade); forgotten.ok()) forgotten = noted;
  if (!forgotten.ok()) store_.problem_ = forgotten;
  Result<std::vector<std::string>> waiting = store_.outbox_->pendingKeys();
  store_.waiting_ = !waiting.ok() || !waiting.value().empty();
  store_.waitReason_ = !failure.ok() ? failure : forgotten;
  return learnt;
}

bool CloudSender::mergeOnto(const std::vector<std::string>& moved) {
  // The newer copies are fetched first, with nothing held; the merge is one local change, under the
  // home's lock, that waits on nothing but the device's own database.
  std::vector<std::string> keys = moved;
  auto named = [&](std::string_view key) { return std::find(keys.begin(), keys.end(), key) != keys.end(); };
  if (named(kTasksList.cloudKey) != named(kMarksList.cloudKey))  // the to-dos load with their marks
    keys.emplace_back(named(kTasksList.cloudKey) ? kMarksList.cloudKey : kTasksList.cloudKey);
  Fetched fetched;
  for (const std::string& key : keys) {
    Result<std::optional<std::string>> got = store_.transport_->get(key);
    if (!got.ok()) {
      auto guard = store_.outbox_->hold();
      store_.note(got.status());
      return false;
    }
    fetched.emplace(key, std::move(got).value());
  }
  Result<HomeLock::Held> home = store_.homeLock_->lock();
  auto guard = store_.outbox_->hold();
  if (!home.ok()) {
    store_.problem_ = home.status();
    return false;
  }
  FetchedCloud cloud(store_, fetched);
  Status merged = loadLists(cloud, store_.outbox_->settings(), moved);
  store_.recorded_.clear();  // this sender sends them next
  if (!merged.ok()) store_.problem_ = merged;
  return merged.ok();
}

}  // namespace quillbox
