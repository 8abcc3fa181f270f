#include "platform/cloud_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/home.h"
#include "platform/redis_cloud_store.h"

namespace quillbox {

namespace fs = std::filesystem;

std::optional<std::string> MemoryCloudStore::stringForKey(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

void MemoryCloudStore::setString(std::string_view value, std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  values_.insert_or_assign(std::string(key), std::string(value));
  ++writes_;
}

int MemoryCloudStore::writes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return writes_;
}

namespace {

constexpr std::size_t kMaxKeyBytes = 255;  // a file name's limit on the usual file systems
// A temporary file this old was left by a writer that was killed: no write takes an hour.
constexpr auto kStaleAfter = std::chrono::hours(1);
constexpr const char* kTemporaryPrefix = ".tmp-";

// A name for a new temporary file, unique between processes and between machines that share
// the folder. It starts with "." so that it never names a key: a file left behind by a killed
// writer is never read as a value.
std::string temporaryName() {
  static const unsigned tag = std::random_device()();
  static std::atomic<unsigned long> counter{0};
  return kTemporaryPrefix + std::to_string(::getpid()) + "-" + std::to_string(tag) + "-" +
         std::to_string(counter++);
}

// The key as it can be shown in a message: control bytes written as \xNN.
std::string printable(std::string_view key) {
  std::string shown;
  for (unsigned char c : key) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

// In double quotes. (Built by appending: GCC 12 wrongly warns about "\"" + string.)
std::string quoted(const fs::path& path) {
  std::string text = "\"";
  text += path.string();
  text += '"';
  return text;
}

Status systemError(const std::string& what, int error) {
  return Status::Error(what + ": " + std::strerror(error));
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

bool FolderCloudStore::isPlainKey(std::string_view key) {
  if (key.empty() || key.size() > kMaxKeyBytes || key.front() == '.') return false;  // ".", ".." included
  for (unsigned char c : key) {
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

FolderCloudStore::FolderCloudStore(fs::path folder) : folder_(std::move(folder)) {
  if (Status made = ensureFolder(folder_); !made) {
    report(made);
  } else if (::access(folder_.c_str(), W_OK | X_OK) != 0) {
    report(systemError("cannot write the cloud folder " + quoted(folder_), errno));
  } else {
    removeStaleTemporaries();
  }
}

void FolderCloudStore::removeStaleTemporaries() {
  std::error_code error;
  auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator entry(folder_, error), end; !error && entry != end; entry.increment(error)) {
    if (!entry->path().filename().string().starts_with(kTemporaryPrefix)) continue;
    std::error_code ignored;
    auto written = entry->last_write_time(ignored);
    if (!ignored && now - written > kStaleAfter) fs::remove(entry->path(), ignored);
  }
}

Status FolderCloudStore::health() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return health_;
}

void FolderCloudStore::report(Status problem) {
  std::lock_guard<std::mutex> guard(mutex_);
  health_ = std::move(problem);
}

std::optional<std::string> FolderCloudStore::stringForKey(std::string_view key) {
  if (!isPlainKey(key)) {
    report(Status::Error("refused to read the cloud key \"" + printable(key) + "\": not a plain file name"));
    return std::nullopt;
  }
  fs::path path = folder_ / std::string(key);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) report(systemError("cannot read " + quoted(path), errno));
    return std::nullopt;
  }
  std::optional<std::string> value;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    report(systemError("cannot read " + quoted(path), errno));
  } else if (!S_ISREG(info.st_mode)) {
    report(Status::Error("cannot read " + quoted(path) + ": not a file"));
  } else {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
      ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        report(systemError("cannot read " + quoted(path), errno));
        break;
      }
      if (got == 0) {
        value = std::move(bytes);
        break;
      }
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  return value;
}

void FolderCloudStore::setString(std::string_view value, std::string_view key) {
  if (!isPlainKey(key)) {
    report(Status::Error("refused to write the cloud key \"" + printable(key) + "\": not a plain file name"));
    return;
  }
  fs::path temp;
  fs::path path = folder_ / std::string(key);
  auto fail = [&](const std::string& what, int error) {
    ::unlink(temp.c_str());
    report(systemError("cannot write " + what, error));
  };

  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
    temp = folder_ / temporaryName();
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ENOENT && ensureFolder(folder_).ok()) {  // the folder was removed under us
      fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    report(systemError("cannot write " + quoted(path), errno));  // nothing made: nothing to remove
    return;
  }
  if (!writeAll(fd, value) || ::fsync(fd) != 0) {
    int error = errno;
    ::close(fd);
    return fail(quoted(path), error);
  }
  if (::close(fd) != 0) return fail(quoted(path), errno);
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(quoted(path), errno);
  // The rename itself must reach the disk before the write counts as done.
  int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return report(systemError("cannot sync the cloud folder " + quoted(folder_), errno));
  int synced = ::fsync(dir);
  int error = errno;
  ::close(dir);
  if (synced != 0) return report(systemError("cannot sync the cloud folder " + quoted(folder_), error));
  report(Status::Ok());
}

Result<std::unique_ptr<CloudStore>> makeCloudStore(std::string_view spec, const fs::path& home) {
  if (spec.starts_with("redis://") || spec.starts_with("unix://")) return makeRedisCloudStore(spec, home);
  fs::path folder = home / "cloud";
  if (!spec.empty()) {
    std::error_code error;
    folder = fs::absolute(fs::path(spec), error).lexically_normal();
    if (error)
      return Status::Error("cannot find the cloud folder \"" + std::string(spec) + "\": " + error.message());
  }
  auto store = std::make_unique<FolderCloudStore>(folder);
  if (Status health = store->health(); !health) return health;
  return std::unique_ptr<CloudStore>(std::move(store));
}

namespace {

struct SharedCloudStore {
  std::mutex mutex;
  std::function<std::unique_ptr<CloudStore>()> make;  // guarded by mutex
  bool made = false;                                  // guarded by mutex
  std::once_flag once;
  CloudStore* store = nullptr;
};

SharedCloudStore& shared() {
  // Never destroyed: the store must outlive every thread that may still use it at exit.
  static SharedCloudStore* instance = new SharedCloudStore();
  return *instance;
}

}  // namespace

void configureSharedCloudStore(std::function<std::unique_ptr<CloudStore>()> make) {
  SharedCloudStore& state = shared();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (!state.made) state.make = std::move(make);
}

CloudStore& sharedCloudStore() {
  SharedCloudStore& state = shared();
  std::call_once(state.once, [&state] {
    std::function<std::unique_ptr<CloudStore>()> make;
    {
      std::lock_guard<std::mutex> guard(state.mutex);
      state.made = true;
      make = std::move(state.make);
    }
    std::unique_ptr<CloudStore> store = make ? make() : nullptr;
    if (!store) store = std::make_unique<MemoryCloudStore>();
    state.store = store.release();
  });
  return *state.store;
}

}  // namespace quillbox
