#pragma once

// The server-side scripts of the Redis transport: the conditional group write, which keeps the names of
// the writes it makes beside their keys, and the question whether named writes were made.

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/transports/redis_address.h"

namespace quillbox::redisscripts {

inline constexpr std::size_t kNamesKept = 64;  // names of the latest writes made, kept per key

// The server key that holds the names of the latest writes made to key, newest first: beside the
// value, never inside it, and in the key's namespace.
std::string namesKeyOf(const RedisAddress& address, std::string_view key);

// KEYS: the server keys, then the keys of their lists of names (namesKeyOf). ARGV, four per key: "1"
// with the base, or "0" and "" for a key that held nothing, then the value and the write's name ("":
// none); last, how many names to keep (kNamesKept). A key that holds nothing, its base, or the value
// takes the write, and its name is kept. A group every write of which is named in its key's list was
// made before: nothing is set, whatever the keys hold. Answers 0 when every value was set (or had been), else
// the position (from 1) of the first key that moved, having set nothing.
const std::string& setIf();

// KEYS: lists of names; ARGV: a name for each. Answers 1 when every list holds its name (never an
// empty one), else 0.
const std::string& made();

}  // namespace quillbox::redisscripts
