#include "platform/sync/outbox_cloud_store.h"

#include <algorithm>

#include "platform/store/home.h"
#include "platform/sync/merge_load.h"

namespace quillbox {

using Clock = std::chrono::steady_clock;

constexpr int kMaxMergeRounds = 4;

OutboxCloudStore::OutboxCloudStore(std::unique_ptr<CloudTransport> transport, std::unique_ptr<Outbox> outbox,
                                   std::shared_ptr<HomeLock> homeLock, std::shared_ptr<HomeLock> sendLock)
    : transport_(std::make_unique<SerialTransport>(std::move(transport))),
      outbox_(std::move(outbox)),
      homeLock_(std::move(homeLock)),
      sendLock_(std::move(sendLock)) {}

OutboxCloudStore::~OutboxCloudStore() { sender_.reset(); }

Result<std::unique_ptr<OutboxCloudStore>> OutboxCloudStore::open(std::unique_ptr<CloudTransport> transport,
                                                                 const std::filesystem::path& home,
                                                                 std::string_view legacyRedisNamespace) {
  if (Status made = ensureFolder(home); !made.ok()) return made;
  Result<std::shared_ptr<HomeLock>> homeLock = HomeLock::of(home);
  if (!homeLock.ok()) return homeLock.status();
  Result<std::shared_ptr<HomeLock>> sendLock = HomeLock::of(home, "send-lock");
  if (!sendLock.ok()) return sendLock.status();
  Result<std::unique_ptr<Outbox>> outbox = Outbox::open(home, transport->identity(), legacyRedisNamespace);
  if (!outbox.ok()) return outbox.status();
  std::unique_ptr<OutboxCloudStore> store(
      new OutboxCloudStore(std::move(transport), std::move(outbox.value()), std::move(homeLock.value()),
                           std::move(sendLock.value())));
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

std::optional<std::string> OutboxCloudStore::stringForKey(std::string_view key) {
  auto guard = outbox_->hold();
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

Result<CloudStore::LoadCopy> OutboxCloudStore::loadCopy(std::string_view key) {
  auto guard = outbox_->hold();
  if (WriteGroup* group = WriteGroup::current()) {
    if (const std::string* deferred = group->deferred(*this, key)) return LoadCopy{*deferred, false, {}};
  }
  if (Status valid = transport_->checkKey(key); !valid.ok()) {
    problem_ = valid;
    return LoadCopy{};
  }
  auto local = [&] { return ownCopy(key); };
  Result<bool> waiting = outbox_->isPending(key);
  if (!waiting.ok()) {
    problem_ = waiting.status();
    return waiting.status();  // cannot tell whether this device's edits wait: take nothing
  }
  if (backingOff()) return local();
  if (waiting.value()) {
    const bool answered = sendPending();
    waiting = outbox_->isPending(key);
    if (!waiting.ok()) return waiting.status();
    // Another sender has this device's write on its way. The backing may hold that very write with
    // its answer not yet recorded: taken for another device's, it would be merged in twice. The
    // sender's answer decides what the write builds on; the local copy stands meanwhile.
    if (waiting.value() && !answered) return local();
  }
  Result<std::optional<std::string>> got = transport_->get(key);
  note(got.status());
  if (!got.ok()) return local();  // this device's own write, or the last value read, stands
  return loadCopyOf(key, std::move(got).value());
}

Result<CloudStore::LoadCopy> OutboxCloudStore::loadCopyOf(std::string_view key,
                                                          std::optional<std::string> got) {
  auto guard = outbox_->hold();
  Result<bool> waiting = outbox_->isPending(key);
  if (!waiting.ok()) {
    problem_ = waiting.status();
    return waiting.status();
  }
  if (!waiting.value()) {
    if (Status kept = outbox_->remember(key, got); !kept.ok()) problem_ = kept;
    return LoadCopy{std::move(got), false, {}};
  }
  // The backing may hold this device's write, its answer unknown: taken for another device's, it
  // would be merged in twice. The answer decides what the write builds on; the local copy stands.
  Result<bool> unanswered = outbox_->isUnanswered(key);
  if (!unanswered.ok()) {
    problem_ = unanswered.status();
    return unanswered.status();
  }
  if (unanswered.value()) return ownCopy(key);
  Result<Outbox::Base> base = outbox_->baseOf(key);
  if (!base.ok()) {
    problem_ = base.status();
    return base.status();
  }
  return LoadCopy{std::move(got), true, std::move(base->value), base->known};
}

Result<CloudStore::LoadCopy> OutboxCloudStore::ownCopy(std::string_view key) {
  Result<std::optional<std::string>> copy = outbox_->copyOf(key);
  if (!copy.ok()) {
    problem_ = copy.status();
    return copy.status();
  }
  return LoadCopy{std::move(copy).value(), false, {}, true, true};
}

Status OutboxCloudStore::rebase(std::string_view key, const std::optional<std::string>& value) {
  auto guard = outbox_->hold();
  Status kept = outbox_->rebase(key, value);
  if (!kept.ok()) problem_ = kept;
  return kept;
}

Status OutboxCloudStore::setString(std::string_view value, std::string_view key) {
  auto guard = outbox_->hold();
  if (Status valid = transport_->checkKey(key); !valid.ok()) {
    problem_ = valid;
    return valid;
  }
  const CloudWriteView write{key, value};
  WriteGroup* group = WriteGroup::current();
  if (group != nullptr && outbox_->inGroup()) {
    // Recorded in the local transaction open now, with what it builds on (a merge's new base).
    group->recordedNow(*this, key);
    return this->write(std::span(&write, 1));
  }
  if (group != nullptr) {
    group->defer(*this, key, value);
    return Status::Ok();
  }
  return this->write(std::span(&write, 1));
}

Status OutboxCloudStore::setStrings(std::vector<CloudWrite> writes) {
  auto guard = outbox_->hold();
  std::vector<CloudWriteView> views;
  for (const CloudWrite& write : writes) views.push_back(CloudWriteView{write.key, write.value});
  return write(views);
}

Result<std::vector<CloudWriteView>> OutboxCloudStore::needingSends(std::span<const CloudWriteView> writes) {
  std::vector<CloudWriteView> needed;
  for (const CloudWriteView& write : writes) {
    Result<bool> waiting = outbox_->isPending(write.key);
    if (!waiting.ok()) return waiting.status();
    Result<Outbox::Base> base = outbox_->baseOf(write.key);
    if (!base.ok()) return base.status();
    if (syncengine::needsSending(base.value(), waiting.value(), write.key, write.value))
      needed.push_back(write);
  }
  return needed;
}

Status OutboxCloudStore::write(std::span<const CloudWriteView> given) {
  // What the backing is known to hold already is no write.
  Result<std::vector<CloudWriteView>> needed = needingSends(given);
  if (needed.ok() && needed->empty()) return Status::Ok();
  std::span<const CloudWriteView> writes =
      needed.ok() ? std::span<const CloudWriteView>(needed.value()) : given;
  Result<std::vector<Outbox::Recorded>> recorded = outbox_->record(writes);
  if (!recorded.ok() && outbox_->inGroup()) {
    problem_ = recorded.status();
    return recorded.status();  // the whole change is undone: nothing of it may reach the backing
  }
  if (!recorded.ok()) {
    // Not kept here: the backing is the writes' one chance, back-off or not.
    std::vector<Sending> sending;
    for (const CloudWriteView& write : writes) sending.push_back(Sending{0, write.key, write.value, 0});
    Status unsent = sendIf(sending);
    note(unsent);
    problem_ = recorded.status();
    if (unsent.ok()) return Status::Ok();
    return Status::Error(recorded.status().message() + "; nor could it be sent: " + unsent.message());
  }
  waiting_ = true;
  std::vector<std::int64_t> ids;
  for (const Outbox::Recorded& write : recorded.value()) ids.push_back(write.id);
  if (outbox_->inGroup()) {  // not stored yet: sent once the transaction is
    recorded_.insert(recorded_.end(), ids.begin(), ids.end());
    return Status::Ok();
  }
  if (sender_ != nullptr) {  // delivered off this thread
    sender_->wake();
    return Status::Ok();
  }
  if (backingOff()) return Status::Ok();
  // When nothing older waits, what is in hand goes as it is, without reading it back.
  Result<std::vector<std::string>> waiting = outbox_->pendingKeys();
  Status mine = Status::Ok();
  const bool behind = std::any_of(recorded->begin(), recorded->end(),
                                  [](const Outbox::Recorded& write) { return write.behindReplaced; });
  if (waiting.ok() && waiting.value().size() == writes.size() && !behind) {
    std::vector<Sending> sending;
    for (std::size_t i = 0; i < writes.size(); ++i)
      sending.push_back(Sending{recorded->at(i).id, writes[i].key, writes[i].value, 0, recorded->at(i).name});
    std::vector<Status> results = deliver(sending);
    mine = results.empty() ? Status::Ok() : results.front();
  } else {
    mine = sendAll(ids);
  }
  // Kept and sent later is no failure; held back by another device's newer value is for the caller
  // to merge.
  return mine.code() == Status::Code::conflict ? mine : Status::Ok();
}

Status OutboxCloudStore::sendRecorded() {
  auto guard = outbox_->hold();
  std::vector<std::int64_t> mine = std::move(recorded_);
  recorded_.clear();
  if (sender_ && !mine.empty()) {  // delivered off this thread
    sender_->wake();
    return Status::Ok();
  }
  if (mine.empty() || backingOff()) return Status::Ok();
  Status sent = sendAll(mine);
  // Another device wrote a list meanwhile: the lists held back load again, which merges this device's
  // edits onto the newer copies, and the merged writes go; a few times at most, after which they wait,
  // kept, for the next load.
  auto mustMerge = [](const Status& outcome) {
    return syncengine::onAnswer(syncengine::answerOf(outcome)).merge;
  };
  for (int round = 0; mustMerge(sent) && round < kMaxMergeRounds; ++round) {
    const std::vector<std::string> held = pendingKeys();
    if (Status merged = loadLists(*this, outbox_->settings(), held); !merged.ok()) return merged;
    mine = std::move(recorded_);
    recorded_.clear();
    sent = mine.empty() || backingOff() ? Status::Ok() : sendAll(mine);
  }
  // Kept and sent later is no failure; held back by another device's newer value is for the caller to merge.
  return sent.code() == Status::Code::conflict ? sent : Status::Ok();
}

Status OutboxCloudStore::withdraw(std::string_view key) {
  auto guard = outbox_->hold();
  Status forgotten = outbox_->withdraw(key);
  if (!forgotten.ok()) problem_ = forgotten;
  Result<std::vector<std::string>> waiting = outbox_->pendingKeys();
  waiting_ = !waiting.ok() || !waiting.value().empty();
  if (!waiting_) waitReason_ = Status::Ok();
  return forgotten;
}

std::string OutboxCloudStore::describe() const { return transport_->describe(); }

Status OutboxCloudStore::health() const {
  auto guard = outbox_->hold();
  if (!problem_.ok()) return problem_;
  if (waiting_) return waitReason_;
  return Status::Ok();
}

void OutboxCloudStore::flushPending(int timeoutMs) {
  (void)timeoutMs;  // one attempt, which the transport bounds
  if (sender_) {
    sender_->wake();
    return;
  }
  // Sends only under the home's lock: two processes sending at once could land an older value last.
  Result<HomeLock::Held> held = homeLock_->lock(std::chrono::milliseconds(0));
  if (!held.ok()) return;
  auto guard = outbox_->hold();
  sendPending();
}

std::vector<std::string> OutboxCloudStore::pendingKeys() const {
  auto guard = outbox_->hold();
  Result<std::vector<std::string>> keys = outbox_->pendingKeys();
  if (!keys.ok()) {
    problem_ = keys.status();
    return {};
  }
  return std::move(keys).value();
}

bool OutboxCloudStore::reachable() {
  auto guard = outbox_->hold();
  Status answered = transport_->ping();
  note(answered);
  return answered.ok();
}

}  // namespace quillbox
