#include "platform/web/device_tokens.h"

#include <algorithm>
#include <charconv>

#include "platform/crypto/secrets.h"
#include "platform/transports/cloud_store_spec.h"
#include "platform/transports/folder_transport.h"

namespace quillbox {

namespace {

constexpr std::string_view kListKey = "devices";
constexpr std::string_view kSeenPrefix = "device-seen.";
constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kMaxName = 40;
constexpr int kChangeTries = 5;

std::int64_t systemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool parseSeconds(std::string_view text, std::int64_t& out) {
  auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && problem == std::errc() && end == text.data() + text.size() && out >= 0;
}

std::string encodeList(const std::vector<DeviceRecord>& devices) {
  std::string out;
  for (const DeviceRecord& device : devices)
    out += device.name + " " + device.digest + " " + std::to_string(device.added) + "\n";
  return out;
}

}  // namespace

DeviceTokens::DeviceTokens(std::unique_ptr<CloudTransport> backing, std::function<std::int64_t()> now)
    : backing_(std::move(backing)), now_(now ? std::move(now) : systemSeconds) {}

Result<std::unique_ptr<DeviceTokens>> DeviceTokens::forCloud(const CloudOptions& cloud,
                                                             const std::filesystem::path& home) {
  const std::string_view spec = cloud.spec;
  if (spec.starts_with("https://"))
    return Status::Invalid("devices are added on the server itself, with its own --cloud");
  if (spec.starts_with("redis://") || spec.starts_with("unix://")) {
    Result<std::unique_ptr<CloudTransport>> redis = openCloudBacking(cloud, home);
    if (!redis.ok()) return redis.status();
    return std::make_unique<DeviceTokens>(std::move(redis.value()));
  }
  Result<std::unique_ptr<FolderTransport>> folder = FolderTransport::open(home / "devices");
  if (!folder.ok()) return folder.status();
  return std::make_unique<DeviceTokens>(std::move(folder.value()));
}

bool DeviceTokens::isDeviceName(std::string_view name) {
  auto plain = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  return !name.empty() && name.size() <= kMaxName && plain(name.front()) &&
         std::all_of(name.begin(), name.end(),
                     [&](char c) { return plain(c) || c == '.' || c == '_' || c == '-'; });
}

std::string DeviceTokens::describe() const { return "the device list at " + backing_->describe(); }

Result<std::vector<DeviceRecord>> DeviceTokens::read(std::optional<std::string>& raw) {
  Result<std::optional<std::string>> got = backing_->get(kListKey);
  if (!got.ok()) return got.status();
  raw = std::move(got.value());
  std::vector<DeviceRecord> devices;
  std::string_view rest = raw ? std::string_view(*raw) : std::string_view();
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    std::size_t first = line.find(' ');
    std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    DeviceRecord device;
    if (second != std::string_view::npos) {
      device.name = std::string(line.substr(0, first));
      device.digest = std::string(line.substr(first + 1, second - first - 1));
    }
    if (second == std::string_view::npos || !isDeviceName(device.name) || !isHexOfSize(device.digest, 32) ||
        !parseSeconds(line.substr(second + 1), device.added))
      return Status::Error(describe() + " is not a list of devices; it is left as it is");
    devices.push_back(std::move(device));
  }
  return devices;
}

Status DeviceTokens::change(const std::function<Status(std::vector<DeviceRecord>&)>& edit) {
  for (int attempt = 0; attempt < kChangeTries; ++attempt) {
    std::optional<std::string> raw;
    Result<std::vector<DeviceRecord>> devices = read(raw);
    if (!devices.ok()) return devices.status();
    if (Status edited = edit(devices.value()); !edited.ok()) return edited;
    std::string next = encodeList(devices.value());
    const ConditionalWrite write{kListKey, next, raw ? std::optional<std::string_view>(*raw) : std::nullopt};
    Status written = backing_->setIf(std::span(&write, 1));
    if (written.code() != Status::Code::conflict) return written;
  }
  return Status::Busy(describe() + " kept changing; try again");
}

Result<std::string> DeviceTokens::add(std::string_view name) {
  if (!isDeviceName(name))
    return Status::Invalid(
        "a device's name is 1 to 40 letters, digits, '.', '_' or '-', starting with a letter "
        "or digit");
  Result<std::string> token = randomHex(kTokenBytes);
  if (!token.ok()) return token.status();
  std::lock_guard<std::mutex> guard(mutex_);
  Status added = change([&](std::vector<DeviceRecord>& devices) {
    for (const DeviceRecord& device : devices) {
      if (device.name == name) return Status::Conflict("a device is already named " + std::string(name));
    }
    devices.push_back({std::string(name), sha256Hex(token.value()), now_(), 0});
    return Status::Ok();
  });
  if (!added.ok()) return added;
  return token;
}

Status DeviceTokens::revoke(std::string_view name) {
  std::lock_guard<std::mutex> guard(mutex_);
  return change([&](std::vector<DeviceRecord>& devices) {
    auto gone =
        std::remove_if(devices.begin(), devices.end(), [&](const DeviceRecord& d) { return d.name == name; });
    if (gone == devices.end()) return Status::NotFound("no device is named " + std::string(name));
    devices.erase(gone, devices.end());
    return Status::Ok();
  });
}

Result<std::vector<DeviceRecord>> DeviceTokens::list() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::optional<std::string> raw;
  Result<std::vector<DeviceRecord>> devices = read(raw);
  if (!devices.ok()) return devices;
  for (DeviceRecord& device : devices.value()) {
    Result<std::optional<std::string>> seen = backing_->get(std::string(kSeenPrefix) + device.name);
    if (!seen.ok()) return seen.status();
    std::int64_t at = 0;
    if (seen.value() && parseSeconds(*seen.value(), at)) device.lastSeen = at;
  }
  return devices;
}

Result<std::optional<std::string>> DeviceTokens::check(std::string_view token) {
  if (!isHexOfSize(token, kTokenBytes)) return std::optional<std::string>();
  const std::string digest = sha256Hex(token);
  std::lock_guard<std::mutex> guard(mutex_);
  std::optional<std::string> raw;
  Result<std::vector<DeviceRecord>> devices = read(raw);
  if (!devices.ok()) return devices.status();
  const DeviceRecord* match = nullptr;
  for (const DeviceRecord& device : devices.value()) {
    if (sameSecretBytes(digest, device.digest) && match == nullptr) match = &device;
  }
  if (match == nullptr) return std::optional<std::string>();
  std::int64_t now = now_();
  auto written = seenWritten_.find(match->name);
  if (written == seenWritten_.end() || now - written->second >= kSeenEvery.count()) {
    // A last-seen time that cannot be written now is written at a later request.
    if (backing_->set(std::string(kSeenPrefix) + match->name, std::to_string(now)).ok())
      seenWritten_.insert_or_assign(match->name, now);
  }
  return std::optional<std::string>(match->name);
}

}  // namespace quillbox
