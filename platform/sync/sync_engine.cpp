#include "platform/sync/sync_engine.h"

#include <algorithm>

#include "base/list_string.h"
#include "base/stored_lists.h"

namespace quillbox::syncengine {

bool sameList(std::string_view key, std::string_view a, std::string_view b) {
  if (a == b) return true;
  for (const StoredList& list : kStoredLists) {
    if (list.cloudKey != key) continue;
    if (list.encoding == ListEncoding::indices) return decodeIndexList(a) == decodeIndexList(b);
    return nonEmptyPieces(a, list.separator()) == nonEmptyPieces(b, list.separator());
  }
  return false;  // a key of no list: its bytes are all there is
}

bool needsSending(const Base& base, bool pending, std::string_view key, std::string_view value) {
  if (pending || !base.known || !base.value) return true;
  return !sameList(key, *base.value, value);
}

Send planSend(const Base& base, std::string_view key, std::string_view value,
              const std::optional<std::string>* held) {
  if (base.known) return Send{Send::Kind::onBase, base.value};
  if (held == nullptr || !*held) return Send{Send::Kind::onBase, std::nullopt};
  if (sameList(key, **held, value)) return Send{Send::Kind::onBase, *held};
  return Send{Send::Kind::mergeFirst, std::nullopt};
}

std::vector<std::size_t> sendable(std::span<const Pending> pending, std::span<const std::string> inFlight,
                                  std::size_t max) {
  std::vector<std::size_t> picked;
  auto going = [&](const std::string& key) {
    return std::find(inFlight.begin(), inFlight.end(), key) != inFlight.end() ||
           std::any_of(picked.begin(), picked.end(), [&](std::size_t j) { return pending[j].key == key; });
  };
  for (std::size_t i = 0; i < pending.size() && picked.size() < max; ++i) {
    if (!going(pending[i].key)) picked.push_back(i);
  }
  return picked;
}

Answer answerOf(const Status& outcome) {
  switch (outcome.code()) {
    case Status::Code::ok:
      return Answer::delivered;
    case Status::Code::conflict:
      return Answer::moved;
    case Status::Code::unauthenticated:
      return Answer::revoked;
    case Status::Code::unavailable:
      return Answer::away;
    default:
      return Answer::refused;
  }
}

Step onAnswer(Answer answer) {
  switch (answer) {
    case Answer::delivered:
      return Step{.deliver = true};
    case Answer::moved:
      return Step{.merge = true};
    case Answer::away:
      return Step{.backOff = true};
    case Answer::revoked:
      return Step{.stop = true};
    case Answer::refused:
      break;
  }
  return Step{};
}

}  // namespace quillbox::syncengine
