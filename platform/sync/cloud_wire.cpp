#include "platform/sync/cloud_wire.h"

#include <algorithm>
#include <charconv>

#include "platform/crypto/secrets.h"

namespace quillbox::cloudwire {

namespace {

constexpr std::size_t kMaxLengthDigits = 12;

bool isWord(std::string_view text) {
  return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
  });
}

// The next line of text (without its "\n"); false when no line end follows.
bool takeLine(std::string_view& text, std::string_view& line) {
  std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return false;
  line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return true;
}

std::string_view kindOf(Status::Code code) {
  switch (code) {
    case Status::Code::ok:
      return "ok";
    case Status::Code::unavailable:
      return "unavailable";
    case Status::Code::unauthenticated:
      return "unauthenticated";
    case Status::Code::conflict:
      return "conflict";
    default:
      return "error";
  }
}

Status statusOf(std::string_view kind, std::string message) {
  if (kind == "unavailable") return Status::Unavailable(std::move(message));
  if (kind == "unauthenticated") return Status::Unauthenticated(std::move(message));
  if (kind == "conflict") return Status::Conflict(std::move(message));
  return Status::Error(std::move(message));
}

}  // namespace

bool isCloudKey(std::string_view key) { return std::find(kKeys.begin(), kKeys.end(), key) != kKeys.end(); }

std::string etagOf(std::string_view value) { return "\"" + sha256Hex(value) + "\""; }

std::string encodeGroup(std::span<const GroupWrite> writes) {
  std::size_t size = 0;
  for (const GroupWrite& write : writes)
    size += write.key.size() + write.etag.size() + write.value.size() + 32;
  std::string body;
  body.reserve(size);
  for (const GroupWrite& write : writes) {
    body.append(write.key).append(" ");
    switch (write.condition) {
      case GroupWrite::Condition::none:
        body.append("-");
        break;
      case GroupWrite::Condition::absent:
        body.append("absent");
        break;
      case GroupWrite::Condition::matches:
        body.append(write.etag);
        break;
    }
    body.append(" ").append(std::to_string(write.value.size()));
    if (!write.name.empty()) body.append(" ").append(write.name);
    body.append("\n").append(write.value);
  }
  return body;
}

std::string encodeGroup(std::span<const ConditionalWrite> writes) {
  std::vector<std::string> etags;
  etags.reserve(writes.size());
  for (const ConditionalWrite& write : writes)
    etags.push_back(write.base ? etagOf(*write.base) : std::string());
  std::vector<GroupWrite> group;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    using Condition = GroupWrite::Condition;
    group.push_back({writes[i].key, writes[i].value, writes[i].base ? Condition::matches : Condition::absent,
                     etags[i], writes[i].name});
  }
  return encodeGroup(std::span<const GroupWrite>(group));
}

Result<std::vector<GroupWrite>> decodeGroup(std::string_view body) {
  std::vector<GroupWrite> writes;
  while (!body.empty()) {
    if (writes.size() == kMaxGroup)
      return Status::Invalid("a group holds at most " + std::to_string(kMaxGroup) + " writes");
    std::string_view line;
    if (!takeLine(body, line)) return Status::Invalid("a write's line has no end");
    std::size_t first = line.find(' ');
    std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos)
      return Status::Invalid("a write's line is not KEY CONDITION LENGTH");
    GroupWrite write;
    write.key = line.substr(0, first);
    std::string_view condition = line.substr(first + 1, second - first - 1);
    std::string_view length = line.substr(second + 1);
    if (std::size_t third = length.find(' '); third != std::string_view::npos) {
      write.name = length.substr(third + 1);
      length = length.substr(0, third);
      if (!isWord(write.name)) return Status::Invalid("a write's line is not KEY CONDITION LENGTH NAME");
      if (write.name.size() > kMaxNameSize) return Status::Invalid("a write's name is too long");
    }
    if (!isWord(write.key) || !isWord(condition))
      return Status::Invalid("a write's line is not KEY CONDITION LENGTH");
    if (condition == "absent") {
      write.condition = GroupWrite::Condition::absent;
    } else if (condition != "-") {
      write.condition = GroupWrite::Condition::matches;
      write.etag = condition;
    }
    std::size_t size = 0;
    auto [end, problem] = std::from_chars(length.data(), length.data() + length.size(), size);
    if (length.empty() || length.size() > kMaxLengthDigits || problem != std::errc() ||
        end != length.data() + length.size())
      return Status::Invalid("a write's length is not a number");
    if (size > body.size()) return Status::Invalid("a write's value is cut short");
    write.value = body.substr(0, size);
    body.remove_prefix(size);
    for (const GroupWrite& earlier : writes) {
      if (earlier.key == write.key)
        return Status::Invalid("the group names " + std::string(write.key) + " twice");
    }
    writes.push_back(write);
  }
  if (writes.empty()) return Status::Invalid("the group holds no write");
  return writes;
}

std::string encodeResults(std::span<const Status> results) {
  std::string body;
  for (const Status& result : results) {
    body.append(kindOf(result.code()));
    if (!result.ok()) {
      std::string message = result.message();
      std::replace_if(
          message.begin(), message.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
      body.append(" ").append(message);
    }
    body.append("\n");
  }
  return body;
}

std::vector<Status> decodeResults(std::string_view body, std::size_t count) {
  std::vector<Status> results;
  std::string_view line;
  while (results.size() < count && takeLine(body, line)) {
    std::size_t space = line.find(' ');
    std::string_view kind = line.substr(0, space);
    if (kind == "ok") {
      results.push_back(Status::Ok());
    } else {
      std::string message(space == std::string_view::npos ? "" : line.substr(space + 1));
      results.push_back(statusOf(kind, message.empty() ? "the write failed" : message));
    }
  }
  if (results.size() < count || !body.empty())
    return std::vector<Status>(count, Status::Error("the server's answer to a group of writes is malformed"));
  return results;
}

}  // namespace quillbox::cloudwire
