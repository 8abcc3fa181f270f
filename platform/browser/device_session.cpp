#include "platform/browser/device_session.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "base/list_string.h"
#include "base/stored_lists.h"
#include "platform/main_queue.h"
#include "platform/page/web_events.h"
#include "platform/sync/cloud_wire.h"
#include "platform/sync/merge_load.h"
#include "platform/sync/sync_engine.h"

namespace quillbox {

namespace {

constexpr std::string_view kWindowId = "device";

// The edits a waiting write carries: the entries it adds to its base and those it takes away (at least
// one: a write that only reorders is an edit too).
std::size_t editsIn(std::string_view key, std::string_view base, std::string_view value) {
  std::string_view separator = kItemSeparator;
  for (const StoredList& list : kStoredLists) {
    if (list.cloudKey == key) separator = list.separator();
  }
  std::map<std::string_view, long> count;
  for (std::string_view entry : nonEmptyPieces(value, separator)) ++count[entry];
  for (std::string_view entry : nonEmptyPieces(base, separator)) --count[entry];
  std::size_t edits = 0;
  for (const auto& [entry, n] : count) edits += static_cast<std::size_t>(n < 0 ? -n : n);
  return edits == 0 ? 1 : edits;
}

}  // namespace

Result<std::unique_ptr<DeviceSession>> DeviceSession::open(const std::filesystem::path& home, Idiom idiom,
                                                           std::string server, const MakeWindow& makeWindow) {
  std::unique_ptr<DeviceSession> session(new DeviceSession());
  Result<std::shared_ptr<SettingsStore>> settings = SettingsStore::open(home);
  if (!settings.ok()) return settings.status();
  session->settings_ = std::move(settings).value();
  auto transport = std::make_unique<WorkerTransport>(server);
  session->transport_ = transport.get();
  std::string identity = transport->identity();
  Result<std::unique_ptr<OutboxCloudStore>> cloud = OutboxCloudStore::open(std::move(transport), home);
  if (!cloud.ok()) return cloud.status();
  session->cloud_ = std::move(cloud).value();
  Result<std::unique_ptr<Outbox>> outbox = Outbox::open(home, identity);
  if (!outbox.ok()) return outbox.status();
  session->outbox_ = std::move(outbox).value();
  OutboxCloudStore* store = session->cloud_.get();
  Environment env{session->settings_, [store]() -> CloudStore& { return *store; },
                  std::make_shared<Device>(idiom)};
  session->window_ = makeWindow(env);
  if (!session->window_) return Status::Error("the app made no window");
  // A store that cannot be read shows in the status line; the window opens all the same.
  (void)session->window_->open();
  session->settle();
  return session;
}

void DeviceSession::settle() { MainQueue::main().runUntilIdle(); }

DeviceSession::Answer DeviceSession::event(std::string_view json) {
  Result<web::ClientEvent> parsed = web::parseClientEvent(json);
  if (!parsed.ok()) return {400, parsed.status().message()};
  const web::ClientEvent& event = parsed.value();
  using Type = web::ClientEvent::Type;
  if (event.type == Type::attach || event.type == Type::detach) return {};
  if (event.seq != 0 && event.seq <= feed_.ack) return {};  // already run
  feed_.ack = event.seq;
  dirty_ = true;
  if (event.type == Type::viewport) {
    feed_.mirror.setViewport(event.id, event.from, event.to);
    return {};
  }
  Status applied = web::applyClientEvent(*window_, event, feed_.treeSeenAt(event.rev));
  settle();
  if (!applied.ok()) return {web::statusForFailure(applied), applied.message()};
  return {};
}

void DeviceSession::foreground() {
  (void)window_->foreground();
  settle();
}

Result<std::size_t> DeviceSession::editsWaiting() {
  Result<std::vector<Outbox::Pending>> writes = outbox_->pending();
  if (!writes.ok()) return writes.status();
  std::size_t edits = 0;
  for (const Outbox::Pending& write : writes.value()) {
    Result<Outbox::Base> base = outbox_->baseOf(write.key);
    if (!base.ok()) return base.status();
    edits += editsIn(write.key, base->value.value_or(""), write.value);
  }
  return edits;
}

std::string DeviceSession::statusLine() {
  if (Status local = settings_->health(); !local.ok()) return "Lists on this device: " + local.message();
  // The count is read only when it is shown: it decodes the waiting lists.
  if (network_ != Network::revoked && network_ != Network::unreachable) return "";
  Result<std::size_t> waiting = editsWaiting();
  if (!waiting.ok()) return "Lists on this device: " + waiting.status().message();
  std::size_t count = waiting.value();
  if (network_ == Network::revoked) {
    return "This device's access was revoked: " +
           (count == 0
                ? std::string("pair it again to sync")
                : "its edits stay here (" + std::to_string(count) + " waiting); pair it again to send them");
  }
  if (count > 0 && network_ == Network::unreachable) {
    return "Offline: " + std::to_string(count) + (count == 1 ? " edit waiting" : " edits waiting");
  }
  return "";
}

std::string DeviceSession::takeTree() {
  std::string status = statusLine();
  if (window_->revision() != shownRevision_ || feed_.mirror.owesRows()) dirty_ = true;
  if (!dirty_ && status == shownStatus_) return "";
  dirty_ = false;
  shownRevision_ = window_->revision();
  shownStatus_ = status;
  return feed_.takeMessage(kWindowId, *window_, status);
}

std::string DeviceSession::drawing() const {
  web::TreeFeed whole;
  whole.mirror = feed_.mirror;  // the page's viewports; the next message sends all it shows
  return whole.takeMessage(kWindowId, *window_, shownStatus_);
}

std::string DeviceSession::outgoing() {
  Result<std::vector<Outbox::Pending>> pending = outbox_->nextSends();
  if (!pending.ok()) return "";
  std::vector<syncengine::Pending> waiting;
  for (const Outbox::Pending& write : pending.value()) waiting.push_back({write.id, write.key});
  std::vector<std::string> flying;
  for (const Outbox::Pending& write : inFlight_) flying.push_back(write.key);
  std::vector<Outbox::Pending> writes;
  for (std::size_t i : syncengine::sendable(waiting, flying, cloudwire::kMaxGroup))
    writes.push_back(std::move(pending.value()[i]));
  std::vector<std::optional<std::string>> conditions;
  conditions.reserve(writes.size());
  for (const Outbox::Pending& write : writes) {
    Result<Outbox::Base> base = outbox_->baseOf(write.key);
    if (!base.ok()) return "";  // nothing is written over a value the device cannot tell
    // A write never merged with the list the server holds goes on "absent": the server refuses it,
    // and the fetch that follows merges it.
    conditions.push_back(
        syncengine::planSend(base.value(), write.key, write.value, transport_->fetched(write.key)).condition);
  }
  std::vector<Outbox::Sent> going;
  for (const Outbox::Pending& write : writes)
    going.push_back({write.id, write.key, write.name, write.replaced});
  if (!outbox_->sending(going).ok()) return "";
  std::vector<ConditionalWrite> group;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const std::optional<std::string>& on = conditions[i];
    group.push_back({writes[i].key, writes[i].value, on ? std::optional<std::string_view>(*on) : std::nullopt,
                     writes[i].name});
  }
  std::string body =
      group.empty() ? std::string() : cloudwire::encodeGroup(std::span<const ConditionalWrite>(group));
  inFlight_.insert(inFlight_.end(), std::make_move_iterator(writes.begin()),
                   std::make_move_iterator(writes.end()));
  return body;
}

namespace {

syncengine::Answer answerTo(int httpStatus) {
  using syncengine::Answer;
  switch (httpStatus) {
    case 200:
    case 204:
      return Answer::delivered;
    case 412:
      return Answer::moved;
    case 401:
    case 403:
      return Answer::revoked;
    case 0:
    case 429:
    case 503:
      return Answer::away;
    default:
      return httpStatus >= 500 ? Answer::away : Answer::refused;
  }
}

}  // namespace

DeviceSession::Next DeviceSession::sent(int httpStatus, std::string_view body) {
  std::vector<Outbox::Pending> writes = std::move(inFlight_);
  inFlight_.clear();
  std::vector<syncengine::Answer> answers(writes.size(), answerTo(httpStatus));
  if (httpStatus == 200) {
    std::vector<Status> results = cloudwire::decodeResults(body, writes.size());
    for (std::size_t i = 0; i < writes.size(); ++i) answers[i] = syncengine::answerOf(results[i]);
  }
  if (writes.empty()) answers.push_back(answerTo(httpStatus));
  std::vector<Outbox::Delivered> made;
  std::vector<Outbox::Sent> notMade;
  Next next = Next::send;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    syncengine::Step step = syncengine::onAnswer(answers[i]);
    Next mine = step.stop                                       ? Next::stop
                : step.backOff || !(step.deliver || step.merge) ? Next::backOff
                : step.merge                                    ? Next::fetchAndMerge
                                                                : Next::send;
    next = std::max(next, mine);
    if (i >= writes.size()) continue;
    if (step.deliver)
      made.push_back(
          {writes[i].id, writes[i].key, writes[i].value, nullptr, writes[i].name, writes[i].replaced});
    else if (!step.backOff && !step.stop)
      notMade.push_back({writes[i].id, writes[i].key, writes[i].name, writes[i].replaced});
  }
  // A write that fails to be forgotten is sent again over its own value, to the same effect.
  if (!made.empty()) (void)outbox_->delivered(made);
  (void)outbox_->notMade(notMade);
  // The server now holds what was delivered: a screen that loads before the next fetch takes it.
  for (const Outbox::Delivered& write : made) transport_->setFetched(write.key, std::string(write.value));
  return next;
}

void DeviceSession::fetched(std::string_view key, std::optional<std::string> value) {
  if (!cloudwire::isCloudKey(key)) return;
  const std::optional<std::string>* before = transport_->fetched(key);
  if (before == nullptr || *before != value) changedKeys_.emplace_back(key);
  transport_->setFetched(key, std::move(value));
}

bool DeviceSession::reloadIfChanged() {
  std::vector<std::string> differing;
  std::vector<std::string> later;  // the server may hold this device's write: its answer comes first
  for (const std::string& key : changedKeys_) {
    const std::optional<std::string>* fetched = transport_->fetched(key);
    Result<bool> waiting = outbox_->isPending(key);
    Result<bool> unanswered = outbox_->isUnanswered(key);
    if (unanswered.ok() && unanswered.value() && std::find(later.begin(), later.end(), key) == later.end())
      later.push_back(key);
    if (fetched == nullptr || !waiting.ok() || !unanswered.ok() || unanswered.value()) continue;
    bool differs = false;
    if (waiting.value()) {
      // This device's edits wait: only another device's write since their base is news.
      Result<Outbox::Base> base = outbox_->baseOf(key);
      differs = !base.ok() || !base->known || base->value != *fetched;
    } else {
      Result<std::optional<std::string>> copy = outbox_->copyOf(key);
      differs = !copy.ok() || copy.value() != *fetched;
    }
    if (differs) differing.push_back(key);
  }
  changedKeys_ = std::move(later);
  if (differing.empty()) return false;
  {
    Result<SettingsStore::Lock> lock = settings_->lock();
    // A list that cannot be loaded keeps what it holds; the status line says why.
    if (lock.ok()) (void)loadLists(*cloud_, settings_, differing);
  }
  (void)cloud_->sendRecorded();  // on the worker, only ends the transaction's share: the worker sends
  (void)window_->refresh();
  settle();
  return true;
}

void DeviceSession::setNetwork(Network network, std::string reason) {
  network_ = network;
  networkReason_ = std::move(reason);
}

}  // namespace quillbox
