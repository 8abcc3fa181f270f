#include "platform/transports/redis_scripts.h"

namespace quillbox::redisscripts {

namespace {

// A Lua function: whether the list under the key named holds name (never an empty one).
constexpr std::string_view kMadeFunction = R"lua(
local function made(list, name)
  if name == '' then return false end
  for _, held in ipairs(redis.call('LRANGE', list, 0, -1)) do
    if held == name then return true end
  end
  return false
end
)lua";

// The body of setIf(), after kMadeFunction. A group made before is answered as made and not made
// again, whatever the keys hold now: others may have written over it, or put a key back to its base.
constexpr std::string_view kSetIfBody = R"lua(
local n = #KEYS / 2
local all = true
for j = 1, n do all = all and made(KEYS[n + j], ARGV[4 * j]) end
if all then return 0 end
for i = 1, n do
  local held = redis.call('GET', KEYS[i])
  if held and held ~= ARGV[4 * i - 1] and (ARGV[4 * i - 3] ~= '1' or held ~= ARGV[4 * i - 2]) then return i end
end
for i = 1, n do
  redis.call('SET', KEYS[i], ARGV[4 * i - 1])
  if ARGV[4 * i] ~= '' then
    redis.call('LPUSH', KEYS[n + i], ARGV[4 * i])
    redis.call('LTRIM', KEYS[n + i], 0, tonumber(ARGV[#ARGV]) - 1)
  end
end
return 0
)lua";

// The body of made(), after kMadeFunction.
constexpr std::string_view kMadeBody = R"lua(
for i = 1, #KEYS do
  if not made(KEYS[i], ARGV[i]) then return 0 end
end
return 1
)lua";

}  // namespace

std::string namesKeyOf(const RedisAddress& address, std::string_view key) {
  return address.serverKey(key) + ":made";
}

const std::string& setIf() {
  static const std::string script = std::string(kMadeFunction) + std::string(kSetIfBody);
  return script;
}

const std::string& made() {
  static const std::string script = std::string(kMadeFunction) + std::string(kMadeBody);
  return script;
}

}  // namespace quillbox::redisscripts
