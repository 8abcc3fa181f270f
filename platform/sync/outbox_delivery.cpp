// The outbox store's deliveries from the caller's thread: the pending writes sent as conditional groups,
// each on its base, and what the answers teach recorded in the outbox.

#include <algorithm>

#include "platform/sync/outbox_cloud_store.h"  // whose members these are

namespace quillbox {

bool OutboxCloudStore::sendPending() {
  (void)sendAll({});
  return waitReason_.code() != Status::Code::busy;
}

Status OutboxCloudStore::sendAll(std::span<const std::int64_t> mine) {
  // A replaced write made, the newest of its key goes next, on its value.
  for (int round = 0;; ++round) {
    Result<std::vector<Outbox::Pending>> writes = outbox_->nextSends();
    if (!writes.ok()) {
      problem_ = writes.status();
      return writes.status();
    }
    std::vector<Sending> sending;
    for (const Outbox::Pending& write : writes.value())
      sending.push_back(Sending{write.id, write.key, write.value, write.batch, write.name, write.replaced});
    std::vector<Status> results = deliver(sending);
    bool again = false;
    for (std::size_t i = 0; i < sending.size(); ++i) {
      again = again || (sending[i].replaced && results[i].ok());
      if (!again && std::find(mine.begin(), mine.end(), sending[i].id) != mine.end() && !results[i].ok())
        return results[i];
    }
    if (!again || round == 1) return Status::Ok();
  }
}

Status OutboxCloudStore::sendIf(std::span<const Sending> writes) {
  std::vector<syncengine::Base> bases;
  for (const Sending& write : writes) {
    Result<Outbox::Base> base = outbox_->baseOf(write.key);
    if (!base.ok()) return base.status();  // nothing is written over a value the device cannot tell
    bases.push_back(std::move(base).value());
  }
  return sendOnBases(*transport_, writes, bases);
}

Status OutboxCloudStore::sendOnBases(CloudTransport& transport, std::span<const Sending> writes,
                                     std::span<const syncengine::Base> bases) {
  std::vector<std::optional<std::string>> conditions;
  conditions.reserve(writes.size());
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const Sending& write = writes[i];
    std::optional<std::optional<std::string>> held;
    if (!bases[i].known) {  // no base learnt: what the backing holds decides
      Result<std::optional<std::string>> got = transport.get(write.key);
      if (!got.ok()) return got.status();
      held = std::move(got).value();
    }
    syncengine::Send send = syncengine::planSend(bases[i], write.key, write.value, held ? &*held : nullptr);
    if (send.kind == syncengine::Send::Kind::mergeFirst)
      return Status::Conflict("the cloud copy of " + std::string(write.key) + " is not yet merged with");
    conditions.push_back(std::move(send.condition));
  }
  std::vector<ConditionalWrite> group;
  group.reserve(writes.size());
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const std::optional<std::string>& on = conditions[i];
    group.push_back(ConditionalWrite{writes[i].key, writes[i].value,
                                     on ? std::optional<std::string_view>(*on) : std::nullopt,
                                     writes[i].name});
  }
  return transport.setIf(group);
}

std::vector<Status> OutboxCloudStore::deliver(std::span<const Sending> writes) {
  std::vector<Status> results(writes.size(), Status::Ok());
  Result<HomeLock::Held> sending = sendLock_->lock(std::chrono::milliseconds(0));
  if (!writes.empty() && !sending.ok()) {
    // Another sender of this home delivers them; they wait here meanwhile.
    waiting_ = true;
    waitReason_ = Status::Busy("another sender of this home is delivering the cloud writes");
    results.assign(writes.size(), waitReason_);
    return results;
  }
  if (writes.empty()) {
    waiting_ = false;
    waitReason_ = Status::Ok();
    return results;
  }
  std::vector<Outbox::Sent> going;
  for (const Sending& write : writes) going.push_back({write.id, write.key, write.name, write.replaced});
  if (Status marked = transport_->sends() ? outbox_->sending(going) : Status::Ok(); !marked.ok()) {
    problem_ = marked;
    results.assign(writes.size(), marked);
    return results;
  }
  Status failure = sendIf(writes);
  bool several = std::any_of(writes.begin(), writes.end(),
                             [&](const Sending& w) { return w.batch != writes.front().batch; });
  if (!failure.ok() && several && transport_->classify(failure) == CloudTransport::Trouble::refused) {
    failure = sendGroupsApart(writes, results);  // one group's key moved, or was refused
  } else {
    results.assign(writes.size(), failure);
  }
  std::vector<Outbox::Delivered> sent;
  std::vector<Outbox::Sent> notMade;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    syncengine::Step step = syncengine::onAnswer(syncengine::answerOf(results[i]));
    if (step.deliver)
      sent.push_back(Outbox::Delivered{writes[i].id, writes[i].key, writes[i].value, nullptr, writes[i].name,
                                       writes[i].replaced});
    else if (!step.backOff && !step.stop)
      notMade.push_back({writes[i].id, writes[i].key, writes[i].name, writes[i].replaced});
  }
  note(failure);
  Status forgotten = outbox_->delivered(sent);
  if (Status noted = outbox_->notMade(notMade); forgotten.ok()) forgotten = noted;
  if (!forgotten.ok()) problem_ = forgotten;
  waiting_ = sent.size() < writes.size() || !forgotten.ok();
  waitReason_ = !failure.ok() ? failure : forgotten;
  return results;
}

Status OutboxCloudStore::sendGroupsApart(std::span<const Sending> writes, std::vector<Status>& results) {
  // Each group goes on its own, until one fails otherwise than by a refusal of its own.
  Status failure = Status::Ok();
  std::vector<std::int64_t> batches;
  for (const Sending& write : writes) {
    if (std::find(batches.begin(), batches.end(), write.batch) == batches.end())
      batches.push_back(write.batch);
  }
  bool stop = false;
  for (std::int64_t batch : batches) {
    std::vector<Sending> group;
    for (const Sending& write : writes) {
      if (write.batch == batch) group.push_back(write);
    }
    Status sent = stop ? failure : sendIf(group);
    for (std::size_t i = 0; i < writes.size(); ++i) {
      if (writes[i].batch == batch) results[i] = sent;
    }
    if (!sent.ok() && failure.ok()) failure = sent;
    stop = stop || transport_->classify(sent) != CloudTransport::Trouble::refused;
  }
  return failure;
}

}  // namespace quillbox
