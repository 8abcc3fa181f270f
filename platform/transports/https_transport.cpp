#include "platform/transports/https_transport.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "platform/store/whole_file.h"
#include "platform/sync/cloud_wire.h"
#include "platform/sync/outbox_cloud_store.h"

namespace quillbox {

namespace {

constexpr std::chrono::milliseconds kMinBackoff{1000};

std::string trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return std::string(text);
}

// The first line of a refusal's text, made short and plain.
std::string reasonOf(std::string_view body) {
  std::string_view line = body.substr(0, body.find('\n'));
  std::string out;
  for (char c : line.substr(0, 200)) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  return out;
}

}  // namespace

HttpsTransport::HttpsTransport(std::unique_ptr<HttpsClient> client, std::string token)
    : client_(std::move(client)), token_(std::move(token)) {}

std::chrono::milliseconds HttpsTransport::backoff() const {
  return std::max(kMinBackoff, std::chrono::milliseconds(2 * client_->address().timeoutMs));
}

Status HttpsTransport::checkKey(std::string_view key) const {
  if (cloudwire::isCloudKey(key)) return Status::Ok();
  return Status::Invalid("the cloud server at " + describe() + " holds only the lists' cloud keys, not \"" +
                         std::string(key) + "\"");
}

Result<HttpsReply> HttpsTransport::call(std::string_view method, std::string_view target,
                                        std::string_view body, HttpsHeaders headers) {
  if (token_.empty()) {
    return Status::Unauthenticated(
        "no device token for the cloud server at " + describe() +
        ": run `quillbox devices add NAME` on the server and give this device the token it prints "
        "($QUILLBOX_CLOUD_TOKEN or the file cloud-token in this device's home)");
  }
  headers.emplace_back("Authorization", "Bearer " + token_);
  std::string path = client_->address().path;
  path += cloudwire::kPrefix.substr(1);
  path += target;
  return client_->request(method, path, headers, body);
}

Status HttpsTransport::refusal(const HttpsReply& reply) const {
  std::string why = "the cloud server at " + describe() + " answered " + std::to_string(reply.status);
  std::string reason = reasonOf(reply.body);
  if (!reason.empty()) why += ": " + reason;
  switch (reply.status) {
    case 401:
      return Status::Unauthenticated("the cloud server at " + describe() +
                                     " refused this device's token (unknown or revoked): add the device "
                                     "again on the server and give it the new token");
    case 412:
      return Status::Conflict(why);
    case 429:
    case 502:
    case 503:
    case 504:
      return Status::Unavailable(why);
    default:
      return Status::Error(why);
  }
}

Result<std::optional<std::string>> HttpsTransport::get(std::string_view key) {
  if (Status valid = checkKey(key); !valid.ok()) return valid;
  Result<HttpsReply> reply = call("GET", key);
  if (!reply.ok()) return reply.status();
  if (reply->status == 404) return std::optional<std::string>();
  if (reply->status != 200) return refusal(reply.value());
  return std::optional<std::string>(std::move(reply->body));
}

Status HttpsTransport::set(std::string_view key, std::string_view value) {
  if (Status valid = checkKey(key); !valid.ok()) return valid;
  Result<HttpsReply> reply = call("PUT", key, value, {{"Content-Type", "application/octet-stream"}});
  if (!reply.ok()) return reply.status();
  return reply->status == 204 || reply->status == 200 ? Status::Ok() : refusal(reply.value());
}

std::vector<Status> HttpsTransport::setMany(std::span<const CloudWriteView> writes) {
  if (writes.size() == 1) return {set(writes.front().key, writes.front().value)};
  if (writes.empty()) return {};
  std::vector<cloudwire::GroupWrite> group;
  for (const CloudWriteView& write : writes) {
    if (Status valid = checkKey(write.key); !valid.ok()) return std::vector<Status>(writes.size(), valid);
    group.push_back({write.key, write.value, cloudwire::GroupWrite::Condition::none, {}});
  }
  Result<HttpsReply> reply =
      call("POST", "", cloudwire::encodeGroup(group), {{"Content-Type", std::string(cloudwire::kGroupType)}});
  if (!reply.ok()) return std::vector<Status>(writes.size(), reply.status());
  if (reply->status == 204) return std::vector<Status>(writes.size(), Status::Ok());
  if (reply->status == 200) return cloudwire::decodeResults(reply->body, writes.size());
  return std::vector<Status>(writes.size(), refusal(reply.value()));
}

Status HttpsTransport::setIf(std::span<const ConditionalWrite> writes) {
  if (writes.empty()) return Status::Ok();
  for (const ConditionalWrite& write : writes) {
    if (Status valid = checkKey(write.key); !valid.ok()) return valid;
  }
  Result<HttpsReply> reply = call("POST", "", cloudwire::encodeGroup(writes),
                                  {{"Content-Type", std::string(cloudwire::kGroupType)}});
  if (!reply.ok()) return reply.status();
  if (reply->status == 204) return Status::Ok();
  return refusal(reply.value());
}

Status HttpsTransport::ping() {
  Result<HttpsReply> reply = call("GET", "");
  if (!reply.ok()) return reply.status();
  return reply->status == 204 || reply->status == 200 ? Status::Ok() : refusal(reply.value());
}

Result<std::unique_ptr<CloudStore>> makeHttpsCloudStore(std::string_view address,
                                                        const std::filesystem::path& home,
                                                        std::string_view givenToken,
                                                        const std::string& caFile) {
  Result<HttpsAddress> parsed = parseHttpsAddress(address);
  if (!parsed.ok()) return parsed.status();
  std::string token;
  if (!givenToken.empty()) {
    token = trimmed(givenToken);
  } else {
    const std::filesystem::path file = home / "cloud-token";
    Result<std::optional<std::string>> read = readRegularFile(file);
    if (!read.ok()) return read.status();
    if (read.value()) {
      struct stat info {};
      if (::stat(file.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
        return Status::Error("the device token in " + file.string() +
                             " can be read by other users: make it private with chmod 600");
      }
      token = trimmed(*read.value());
    }
  }
  Result<std::unique_ptr<HttpsClient>> client = HttpsClient::open(parsed.value(), caFile);
  if (!client.ok()) return client.status();
  Result<std::unique_ptr<OutboxCloudStore>> store = OutboxCloudStore::open(
      std::make_unique<HttpsTransport>(std::move(client.value()), std::move(token)), home);
  if (!store.ok()) return store.status();
  return std::unique_ptr<CloudStore>(std::move(store.value()));
}

}  // namespace quillbox
