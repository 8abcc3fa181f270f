#pragma once

// The sync policy of every cloud store, with no I/O: from a device's pending writes and their bases it
// says which writes to send and on which condition; from the backing's answer to a send it says what to
// record and whether to fetch, merge and send again. The outbox store (folder, Redis, HTTPS) and the
// phone's worker each carry out its decisions with their own calls.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace quillbox::syncengine {

// A key's base: the backing's value the device's list was last built on (nothing: the key held
// nothing), or unknown when the device never learnt one.
struct Base {
  bool known = false;
  std::optional<std::string> value;
};

// Whether a and b, two strings of the cloud key, hold the same list once decoded, however spelt (an
// unterminated last entry, empty pieces, "01" for a mark at 1).
bool sameList(std::string_view key, std::string_view a, std::string_view b);

// Whether a write of value to a key with this base needs recording and sending. Not when no write of
// the key waits and the backing is known to hold that very list: a load that took the cloud's copy
// writes nothing back. A write that waits is always replaced, so the newest value goes.
bool needsSending(const Base& base, bool pending, std::string_view key, std::string_view value);

// How a pending write goes.
struct Send {
  enum class Kind {
    onBase,      // only while the backing holds condition (nothing: only while the key holds nothing)
    mergeFirst,  // not sent: the backing holds another list the write was never merged with
  };
  Kind kind = Kind::onBase;
  std::optional<std::string> condition;
};

// A pending write of value on base. A known base is the condition. An unknown base is decided by held,
// the backing's value as last read (nullptr when not read): nothing there, or the same list, is the
// condition; another list is merged with first. Unread, the write goes only where the key holds nothing.
Send planSend(const Base& base, std::string_view key, std::string_view value,
              const std::optional<std::string>* held);

// A write waiting to go.
struct Pending {
  std::int64_t id = 0;
  std::string key;
};
// The waiting writes that may go now, in order: none of a key whose write is still on its way (its
// answer decides what the next one is built on), at most max.
std::vector<std::size_t> sendable(std::span<const Pending> pending, std::span<const std::string> inFlight,
                                  std::size_t max);

// The backing's answer to a send.
enum class Answer {
  delivered,  // it holds the write now
  moved,      // another device wrote meanwhile: the condition failed
  refused,    // this write is not taken (too large, a bad key...)
  away,       // no answer: the network or the backing is down
  revoked,    // the login is refused
};

// The answer a send's outcome is: ok, conflict (moved), unauthenticated (revoked), unavailable (away),
// anything else refused.
Answer answerOf(const Status& outcome);

// What the device does on an answer.
struct Step {
  bool deliver = false;  // forget the write and make its value the key's base, together
  bool merge = false;    // fetch the backing's value, merge the device's edits onto it, and send again
  bool backOff = false;  // leave the backing alone for a while; the write waits
  bool stop = false;     // send nothing more until paired again; the write waits
};
Step onAnswer(Answer answer);

}  // namespace quillbox::syncengine
