#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "base/escape.h"
#include "platform/fault_seam.h"
#include "platform/store/home.h"
#include "platform/store/home_files.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxHolderBytes = 240;

// This process's command line, its words joined by spaces, control bytes left out, cut short.
const std::string& ownCommand() {
  static const std::string command = [] {
    // Plain reads, not a stream: iostreams would weigh more than the rest of this file.
    std::string words;
    int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    char chunk[256];
    for (ssize_t got; fd >= 0 && (got = ::read(fd, chunk, sizeof chunk)) > 0;) words.append(chunk, got);
    if (fd >= 0) ::close(fd);
    std::string out;
    for (char c : words) {
      if (c == '\0') c = ' ';
      if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > kMaxHolderBytes) out = out.substr(0, kMaxHolderBytes) + "...";
    return out;
  }();
  return command;
}

}  // namespace

Status ensureFolder(const fs::path& dir) {
  if (dir.empty()) return Status::Error("no folder was named");
  fs::path made;
  for (const fs::path& part : dir) {
    made /= part;
    if (part.empty() || part == "/" || part == "." || part == "..") continue;
    if (::mkdir(made.c_str(), 0700) == 0) continue;
    int error = errno;
    struct stat info {};
    if (error == EEXIST && ::stat(made.c_str(), &info) == 0) {
      if (S_ISDIR(info.st_mode)) continue;
      return Status::Error("cannot create the folder " + inQuotes(dir.string()) + ": " +
                           inQuotes(made.string()) + " is not a folder");
    }
    return Status::Error("cannot create the folder " + inQuotes(dir.string()) + ": " + std::strerror(error));
  }
  return Status::Ok();
}

namespace homefiles {

Result<fs::path> absolute(const fs::path& home) {
  std::error_code error;
  fs::path found = fs::absolute(home, error);
  if (error) return Status::Error(error.message());
  return found.lexically_normal();
}

void syncFolder(const fs::path& dir) {
  int fd = sys::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)sys::fsync(fd, dir);
  ::close(fd);
}

bool isNew(const fs::path& path) { return !fs::exists(path); }

void createPrivate(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) ::close(fd);
}

void makePrivate(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 0077) != 0)
    ::chmod(path.c_str(), 0600);
}

Result<int> openLock(const fs::path& path) {
  int fd = sys::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return Status::Error("cannot open the lock file " + inQuotes(path.string()) + ": " +
                         std::strerror(errno));
  ::fchmod(fd, 0600);  // a lock file made by an older version may be readable by others
  return fd;
}

void closeLock(int fd) { ::close(fd); }

Take tryLock(int fd, const fs::path& path) {
  for (;;) {
    if (sys::flock(fd, LOCK_EX | LOCK_NB, path) == 0) return Take::taken;
    if (errno != EINTR) return errno == EWOULDBLOCK ? Take::busy : Take::failed;
  }
}

void unlock(int fd, const fs::path& path) {
  if (::ftruncate(fd, 0) != 0) {
    // The holder's line stays behind: harmless, the next holder writes its own.
  }
  sys::flock(fd, LOCK_UN, path);
}

void writeHolder(int fd) {
  std::string line = "process " + std::to_string(::getpid()) + " (" + ownCommand() + ")";
  if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, line.data(), line.size(), 0);
}

std::string readHolder(int fd) {
  char line[kMaxHolderBytes + 64] = {};
  ssize_t got = ::pread(fd, line, sizeof line - 1, 0);
  std::string shown;
  for (ssize_t i = 0; i < got; ++i) {
    if (static_cast<unsigned char>(line[i]) >= 0x20 && line[i] != 0x7f) shown += line[i];  // for a terminal
  }
  return shown;
}

fs::path lockName(const fs::path& home) {
  std::error_code error;
  fs::path canonical = fs::weakly_canonical(home, error);
  return error ? home : canonical;
}

}  // namespace homefiles

}  // namespace quillbox
