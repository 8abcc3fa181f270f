#include "platform/transports/folder_transport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "base/escape.h"
#include "platform/fault_seam.h"
#include "platform/store/home.h"
#include "platform/store/whole_file.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxKeyBytes = 255;  // a file name's limit on the usual file systems
// A temporary file this old was left by a writer that was killed: no write takes an hour.
constexpr auto kStaleAfter = std::chrono::hours(1);

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

// The folder's lock file, held from construction: open, exclusively locked, closed on destruction.
class FolderLock {
 public:
  static Result<std::unique_ptr<FolderLock>> take(const fs::path& folder, std::chrono::milliseconds wait) {
    using Clock = std::chrono::steady_clock;
    const fs::path path = folder / ".lock";
    int fd = sys::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
      return Status::Error("cannot open the cloud folder's lock " + inQuotes(path.string()) + ": " +
                           std::strerror(errno));
    std::unique_ptr<FolderLock> lock(new FolderLock(fd));
    const Clock::time_point deadline = Clock::now() + wait;
    std::chrono::milliseconds pause{1};
    while (sys::flock(fd, LOCK_EX | LOCK_NB, path) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK || Clock::now() >= deadline) {
        return Status::Busy("the cloud folder " + inQuotes(folder.string()) +
                            " was held by another device for " + std::to_string(wait.count()) + " ms");
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return lock;
  }
  ~FolderLock() { ::close(fd_); }  // lets go of the lock
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  explicit FolderLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace

bool FolderTransport::isPlainKey(std::string_view key) {
  if (key.empty() || key.size() > kMaxKeyBytes || key.front() == '.') return false;  // ".", ".." included
  for (unsigned char c : key) {
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

Result<std::unique_ptr<FolderTransport>> FolderTransport::open(fs::path folder) {
  if (Status made = ensureFolder(folder); !made) return made;
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return Status::Error("cannot write the cloud folder " + inQuotes(folder.string()) + ": " +
                         std::strerror(errno));
  }
  std::unique_ptr<FolderTransport> transport(new FolderTransport(std::move(folder)));
  transport->removeStaleTemporaries();
  return transport;
}

void FolderTransport::removeStaleTemporaries() {
  std::error_code error;
  auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator entry(folder_, error), end; !error && entry != end; entry.increment(error)) {
    if (!entry->path().filename().string().starts_with(kTemporaryPrefix)) continue;
    std::error_code ignored;
    auto written = entry->last_write_time(ignored);
    if (!ignored && now - written > kStaleAfter) fs::remove(entry->path(), ignored);
  }
}

Status FolderTransport::checkKey(std::string_view key) const {
  if (isPlainKey(key)) return Status::Ok();
  return Status::Invalid("refused the cloud key \"" + printable(key) + "\": not a plain file name");
}

Result<std::optional<std::string>> FolderTransport::get(std::string_view key) {
  if (Status valid = checkKey(key); !valid.ok()) return valid;
  return readRegularFile(folder_ / std::string(key));
}

Status FolderTransport::set(std::string_view key, std::string_view value) {
  if (Status valid = checkKey(key); !valid.ok()) return valid;
  const fs::path path = folder_ / std::string(key);
  if (::access(folder_.c_str(), F_OK) != 0) {
    if (Status made = ensureFolder(folder_); !made) return made;  // the folder was removed under us
  }
  return writeFileAtomically(path, value);
}

Status FolderTransport::setIf(std::span<const ConditionalWrite> writes) {
  for (const ConditionalWrite& write : writes) {
    if (Status valid = checkKey(write.key); !valid.ok()) return valid;
  }
  if (::access(folder_.c_str(), F_OK) != 0) {
    if (Status made = ensureFolder(folder_); !made) return made;  // the folder was removed under us
  }
  Result<std::unique_ptr<FolderLock>> lock = FolderLock::take(folder_, kLockWait);
  if (!lock.ok()) return lock.status();
  std::vector<bool> already;
  for (const ConditionalWrite& write : writes) {
    Result<std::optional<std::string>> held = readRegularFile(folder_ / std::string(write.key));
    if (!held.ok()) return held.status();
    if (!holdsBaseOrValue(held.value(), write))
      return Status::Conflict("the cloud copy of " + std::string(write.key) + " changed meanwhile");
    already.push_back(held.value() == write.value);
  }
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const ConditionalWrite& write = writes[i];
    if (already[i]) continue;
    if (Status written = writeFileAtomically(folder_ / std::string(write.key), write.value); !written.ok())
      return written;
  }
  return Status::Ok();
}

}  // namespace quillbox
