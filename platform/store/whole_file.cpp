#include "platform/store/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "base/escape.h"
#include "platform/fault_seam.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

Status systemError(const std::string& what, int error) {
  return Status::Error(what + ": " + std::strerror(error));
}

// A name for a new temporary file, unique between processes and between machines that share the
// folder.
std::string temporaryName() {
  static const unsigned tag = std::random_device()();
  static std::atomic<unsigned long> counter{0};
  return std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" + std::to_string(tag) + "-" +
         std::to_string(counter++);
}

bool writeAll(int fd, std::string_view bytes, const fs::path& path) {
  while (!bytes.empty()) {
    ssize_t written = sys::write(fd, bytes.data(), bytes.size(), path);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// What kind of thing stands at a path that is not a regular file, for people.
const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "something else";
}

}  // namespace

Status writeFileAtomically(const fs::path& path, std::string_view bytes) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  // Only a file is replaced: whatever else stands there (a FIFO, a folder) is left alone.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    return Status::Error("cannot write " + inQuotes(path.string()) + ": it is " + kindOf(info.st_mode) +
                         ", not a regular file");
  }
  fs::path temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
    temporary = folder / temporaryName();
    fd = sys::open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0)
    return systemError("cannot write " + inQuotes(path.string()), errno);  // nothing made, nothing to remove

  auto fail = [&](int error) {
    ::unlink(temporary.c_str());
    return systemError("cannot write " + inQuotes(path.string()), error);
  };
  // The umask may have taken more than 0600 leaves; make sure of the mode whatever it was.
  if (::fchmod(fd, 0600) != 0 || !writeAll(fd, bytes, temporary) || sys::fsync(fd, temporary) != 0) {
    int error = errno;
    ::close(fd);
    return fail(error);
  }
  if (::close(fd) != 0) return fail(errno);
  if (sys::rename(temporary, path) != 0) return fail(errno);
  // The rename itself must reach the disk before the write counts as done.
  int dir = sys::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return systemError("cannot sync the folder of " + inQuotes(path.string()), errno);
  int synced = sys::fsync(dir, folder);
  int error = errno;
  ::close(dir);
  if (synced != 0) return systemError("cannot sync the folder of " + inQuotes(path.string()), error);
  return Status::Ok();
}

Result<std::optional<std::string>> readRegularFile(const fs::path& path) {
  auto refuse = [&](const char* kind) {
    return Status::Error("cannot read " + inQuotes(path.string()) + ": it is " + std::string(kind) +
                         ", not a regular file");
  };
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::optional<std::string>();
    return systemError("cannot read " + inQuotes(path.string()), errno);
  }
  if (!S_ISREG(info.st_mode)) return refuse(kindOf(info.st_mode));
  // Non-blocking: should a FIFO take the file's place after the check, the open does not wait.
  int fd = sys::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::optional<std::string>();
    return systemError("cannot read " + inQuotes(path.string()), errno);
  }
  Result<std::optional<std::string>> result = std::optional<std::string>();
  if (::fstat(fd, &info) != 0) {
    result = systemError("cannot read " + inQuotes(path.string()), errno);
  } else if (!S_ISREG(info.st_mode)) {
    result = refuse(kindOf(info.st_mode));
  } else {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
      ssize_t got = sys::read(fd, buffer, sizeof buffer, path);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        result = systemError("cannot read " + inQuotes(path.string()), errno);
        break;
      }
      if (got == 0) {
        result = std::optional<std::string>(std::move(bytes));
        break;
      }
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  return result;
}

}  // namespace quillbox
