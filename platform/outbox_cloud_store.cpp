#include "platform/outbox_cloud_store.h"

#include "platform/home.h"

namespace quillbox {

using Clock = std::chrono::steady_clock;

CloudTransport::Trouble CloudTransport::classify(const Status& failure) const {
  switch (failure.code()) {
    case Status::Code::unavailable:
      return Trouble::unreachable;
    case Status::Code::unauthenticated:
      return Trouble::login;
    default:
      return Trouble::refused;
  }
}

std::vector<Status> CloudTransport::setMany(std::span<const CloudWriteView> writes) {
  std::vector<Status> results;
  results.reserve(writes.size());
  for (const CloudWriteView& write : writes) results.push_back(set(write.key, write.value));
  return results;
}

Status CloudTransport::setIf(std::span<const ConditionalWrite> writes) {
  std::vector<CloudWriteView> plain;
  plain.reserve(writes.size());
  for (const ConditionalWrite& write : writes) {
    Result<std::optional<std::string>> held = get(write.key);
    if (!held.ok()) return held.status();
    const std::optional<std::string>& now = held.value();
    bool same = now.has_value() == write.base.has_value() && (!now || *now == *write.base);
    if (!same) return Status::Conflict("the cloud copy of " + std::string(write.key) + " changed meanwhile");
    plain.push_back({write.key, write.value});
  }
  for (Status& status : setMany(plain)) {
    if (!status.ok()) return std::move(status);
  }
  return Status::Ok();
}

OutboxCloudStore::OutboxCloudStore(std::unique_ptr<CloudTransport> transport, std::unique_ptr<Outbox> outbox,
                                   std::shared_ptr<HomeLock> homeLock)
    : transport_(std::move(transport)), outbox_(std::move(outbox)), homeLock_(std::move(homeLock)) {}

Result<std::unique_ptr<OutboxCloudStore>> OutboxCloudStore::open(std::unique_ptr<CloudTransport> transport,
                                                                 const std::filesystem::path& home,
                                                                 std::string_view legacyRedisNamespace) {
  if (Status made = ensureFolder(home); !made.ok()) return made;
  Result<std::shared_ptr<HomeLock>> homeLock = HomeLock::of(home);
  if (!homeLock.ok()) return homeLock.status();
  Result<std::unique_ptr<Outbox>> outbox = Outbox::open(home, transport->identity(), legacyRedisNamespace);
  if (!outbox.ok()) return outbox.status();
  std::unique_ptr<OutboxCloudStore> store(
      new OutboxCloudStore(std::move(transport), std::move(outbox.value()), std::move(homeLock.value())));
  Result<std::vector<std::string>> waiting = store->outbox_->pendingKeys();
  store->waiting_ = !waiting.ok() || !waiting.value().empty();
  return store;
}

bool OutboxCloudStore::backingOff() const { return Clock::now() < quietUntil_; }

void OutboxCloudStore::note(const Status& status) {
  problem_ = status;
  if (status.ok()) {
    quietUntil_ = {};
  } else if (transport_->classify(status) == CloudTransport::Trouble::unreachable) {
    quietUntil_ = Clock::now() + transport_->backoff();
  }
}

std::optional<std::string> OutboxCloudStore::localAnswer(std::string_view key) {
  Result<std::optional<std::string>> value = outbox_->copyOf(key);
  if (!value.ok()) problem_ = value.status();
  return value.ok() ? value.value() : std::nullopt;
}

void OutboxCloudStore::sendPending() {
  Result<std::vector<Outbox::Pending>> writes = outbox_->pending();
  if (!writes.ok()) {
    problem_ = writes.status();
    return;
  }
  std::vector<CloudWriteView> batch;
  std::vector<std::int64_t> ids;
  for (const Outbox::Pending& write : writes.value()) {
    batch.push_back(CloudWriteView{write.key, write.value});
    ids.push_back(write.id);
  }
  deliver(batch, ids);
}

void OutboxCloudStore::deliver(std::span<const CloudWriteView> writes, const std::vector<std::int64_t>& ids) {
  if (writes.empty()) {
    waiting_ = false;
    waitReason_ = Status::Ok();
    return;
  }
  std::vector<Status> results = transport_->setMany(writes);
  std::vector<std::int64_t> sent;
  Status refusal = Status::Ok();
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (i < results.size() && results[i].ok()) {
      sent.push_back(ids[i]);
    } else if (refusal.ok()) {
      refusal = i < results.size() ? results[i] : Status::Error("the cloud store lost a write's answer");
    }
  }
  note(refusal);
  Status forgotten = outbox_->delivered(sent);
  if (!forgotten.ok()) problem_ = forgotten;
  waiting_ = sent.size() < writes.size() || !forgotten.ok();
  waitReason_ = !refusal.ok() ? refusal : forgotten;
}

std::optional<std::string> OutboxCloudStore::stringForKey(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (WriteGroup* group = WriteGroup::current()) {
    if (const std::string* deferred = group->deferred(*this, key)) return *deferred;
  }
  if (Status valid = transport_->checkKey(key); !valid.ok()) {
    problem_ = valid;
    return std::nullopt;
  }
  if (backingOff()) return localAnswer(key);
  Result<bool> waiting = outbox_->isPending(key);
  if (!waiting.ok()) {
    problem_ = waiting.status();
    return localAnswer(key);  // cannot tell whether a newer write waits: keep it
  }
  if (waiting.value()) {
    sendPending();
    waiting = outbox_->isPending(key);
    // This device's own write stands until the backing holds it.
    if (!waiting.ok() || waiting.value()) return localAnswer(key);
  }
  Result<std::optional<std::string>> got = transport_->get(key);
  note(got.status());
  if (!got.ok()) return localAnswer(key);
  if (Status kept = outbox_->remember(key, got.value()); !kept.ok()) problem_ = kept;
  return std::move(got).value();
}

Status OutboxCloudStore::setString(std::string_view value, std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (Status valid = transport_->checkKey(key); !valid.ok()) {
    problem_ = valid;
    return valid;
  }
  if (WriteGroup* group = WriteGroup::current()) {
    group->defer(*this, key, value);
    return Status::Ok();
  }
  const CloudWriteView write{key, value};
  return this->write(std::span(&write, 1));
}

Status OutboxCloudStore::setStrings(std::vector<CloudWrite> writes) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<CloudWriteView> views;
  for (const CloudWrite& write : writes) views.push_back(CloudWriteView{write.key, write.value});
  return write(views);
}

Status OutboxCloudStore::write(std::span<const CloudWriteView> writes) {
  Result<std::vector<std::int64_t>> recorded = outbox_->record(writes);
  if (!recorded.ok()) {
    // Not kept here: the backing is the writes' one chance, back-off or not.
    std::vector<Status> results = transport_->setMany(writes);
    Status unsent = Status::Ok();
    for (std::size_t i = 0; i < writes.size() && unsent.ok(); ++i) {
      if (i >= results.size() || !results[i].ok())
        unsent = i < results.size() ? results[i] : recorded.status();
    }
    note(unsent);
    problem_ = recorded.status();
    if (unsent.ok()) return Status::Ok();
    return Status::Error(recorded.status().message() + "; nor could it be sent: " + unsent.message());
  }
  waiting_ = true;
  if (backingOff()) return Status::Ok();
  // When nothing older waits, what is in hand goes as it is, without reading it back.
  Result<std::vector<std::string>> waiting = outbox_->pendingKeys();
  if (waiting.ok() && waiting.value().size() == writes.size()) {
    deliver(writes, recorded.value());
  } else {
    sendPending();
  }
  return Status::Ok();
}

std::string OutboxCloudStore::describe() const { return transport_->describe(); }

Status OutboxCloudStore::health() const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!problem_.ok()) return problem_;
  if (waiting_) return waitReason_;
  return Status::Ok();
}

void OutboxCloudStore::flushPending(int timeoutMs) {
  (void)timeoutMs;  // one attempt, which the transport bounds
  // Sends only under the home's lock: two processes sending at once could land an older value last.
  Result<HomeLock::Held> held = homeLock_->lock(std::chrono::milliseconds(0));
  if (!held.ok()) return;
  std::lock_guard<std::mutex> guard(mutex_);
  sendPending();
}

std::vector<std::string> OutboxCloudStore::pendingKeys() const {
  std::lock_guard<std::mutex> guard(mutex_);
  Result<std::vector<std::string>> keys = outbox_->pendingKeys();
  if (!keys.ok()) {
    problem_ = keys.status();
    return {};
  }
  return std::move(keys).value();
}

bool OutboxCloudStore::reachable() {
  std::lock_guard<std::mutex> guard(mutex_);
  Status answered = transport_->ping();
  note(answered);
  return answered.ok();
}

OutboxCloudStore* asOutboxCloudStore(CloudStore& store) { return dynamic_cast<OutboxCloudStore*>(&store); }

}  // namespace quillbox
