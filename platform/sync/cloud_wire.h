#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "platform/sync/cloud_transport.h"

namespace quillbox::cloudwire {

// What the HTTPS cloud endpoint of `quillbox serve` and the devices' transport say to each other.
// Every request carries "Authorization: Bearer DEVICE-TOKEN".
//
//   GET  /cloud/v1/      204 when the token is good and the server's store answers
//   GET  /cloud/v1/KEY   200 and the value (any bytes), with its ETag; 404 when the key holds nothing
//   PUT  /cloud/v1/KEY   the body is the value: 204, with the new value's ETag. With "If-Match: ETAG"
//                        only while the key holds the value of that ETag, with "If-None-Match: *"
//                        only while it holds nothing: 412 when it does not
//   POST /cloud/v1/      a group of writes (encodeGroup), made together: with a condition on any of
//                        them, all or none (412 naming a key that moved, nothing written); without,
//                        as the server's store makes several writes, answered 204 when all were
//                        made, else 200 and one result line per write (encodeResults)
//
// A conditional write may carry its name (kNameHeader on a PUT, a fourth field of its line in a
// group): the server keeps the names of the latest writes it made to each key, beside the value.
// A write or group every write of which it made before (its answer lost; others may have written
// over it since, or put it back to its base) is answered 204 as made, whatever the keys hold now, and
// not made again. Without names, as before.
//
// Refusals: 400 a malformed request, 401 no token or one that is unknown or revoked, 403 a token
// sent in clear over the network, 404 a key that is not a cloud key, 413 a body over the limit,
// 429 too many requests from one device, 503 the server's store cannot be reached or written now.
// Refusals carry a line of text saying why.

inline constexpr std::string_view kPrefix = "/cloud/v1/";
inline constexpr std::string_view kGroupType = "application/x-quillbox-writes";
inline constexpr std::string_view kNameHeader = "Quillbox-Write-Name";
// The longest name a write may carry.
inline constexpr std::size_t kMaxNameSize = 64;

// The cloud keys the app uses; the endpoint holds no other.
inline constexpr std::array<std::string_view, 4> kKeys{
    "notesFromCloud", "tasksFromCloud", "stringTasksFinishedIndicesFromCloud", "taggedNotesFromCloud"};
bool isCloudKey(std::string_view key);

// The strong validator of a value: its SHA-256 as hex digits, in double quotes.
std::string etagOf(std::string_view value);

// One write of a group. Its views point into what it was made from.
struct GroupWrite {
  enum class Condition { none, absent, matches };
  std::string_view key;
  std::string_view value;
  Condition condition = Condition::none;
  std::string_view etag;       // matches: the ETag the key must still hold
  std::string_view name = {};  // the write's own name; empty: none
};

// The body of a group: for each write one line "KEY CONDITION LENGTH\n", or "KEY CONDITION LENGTH
// NAME\n" for a named write, CONDITION being "-" (none), "absent" or the ETag, then LENGTH bytes of
// value. Keys, ETags and names hold no space or line break; a name is at most kMaxNameSize bytes.
std::string encodeGroup(std::span<const GroupWrite> writes);
// The body of conditional writes: each on its base's ETag, or on "absent" when its base is nothing.
std::string encodeGroup(std::span<const ConditionalWrite> writes);

// The writes of a body, as views into it. Invalid, saying what is wrong, for a malformed body: a bad
// line, a length past the end, a name too long, a key named twice, an empty group or one of more
// than kMaxGroup.
inline constexpr std::size_t kMaxGroup = 64;
Result<std::vector<GroupWrite>> decodeGroup(std::string_view body);

// One line per result: "ok", or the failure's kind (unavailable, unauthenticated, conflict, error)
// and its message on one line.
std::string encodeResults(std::span<const Status> results);

// The results of count writes. A body that does not hold count well-formed lines gives that many
// failures that say so.
std::vector<Status> decodeResults(std::string_view body, std::size_t count);

}  // namespace quillbox::cloudwire
