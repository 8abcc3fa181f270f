#include "platform/store/home_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <thread>

#include "base/escape.h"
#include "platform/fault_seam.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxHolderBytes = 240;

// This process's command line, its words joined by spaces, control bytes left out, cut short.
const std::string& ownCommand() {
  static const std::string command = [] {
    // Plain reads, not a stream: the phone's build would carry the whole of iostreams for this.
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

std::string duration(std::chrono::milliseconds wait) {
  if (wait.count() % 1000 == 0) return std::to_string(wait.count() / 1000) + " s";
  return std::to_string(wait.count()) + " ms";
}

}  // namespace

HomeLock::HomeLock(Private, fs::path path, int fd) : path_(std::move(path)), fd_(fd), pid_(::getpid()) {}

HomeLock::~HomeLock() { ::close(fd_); }

Result<std::shared_ptr<HomeLock>> HomeLock::of(const fs::path& home, std::string_view name) {
  static std::mutex registryMutex;
  static auto* registry = new std::map<std::string, std::weak_ptr<HomeLock>>();  // outlives every user
  std::error_code error;
  fs::path canonical = fs::weakly_canonical(home, error);
  if (error) canonical = home;
  std::lock_guard<std::mutex> guard(registryMutex);
  std::weak_ptr<HomeLock>& slot = (*registry)[(canonical / name).string()];
  if (auto existing = slot.lock(); existing && existing->pid_ == ::getpid()) return existing;
  fs::path path = home / name;
  int fd = sys::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return Status::Error("cannot open the lock file " + inQuotes(path.string()) + ": " +
                         std::strerror(errno));
  ::fchmod(fd, 0600);  // a lock file made by an older version may be readable by others
  auto made = std::make_shared<HomeLock>(Private{}, path, fd);
  slot = made;
  return made;
}

Result<HomeLock::Held> HomeLock::lock(std::chrono::milliseconds wait) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + wait;
  auto busy = [&] {
    std::string who = holder();
    return Status::Busy("the home " + inQuotes(path_.parent_path().string()) + " is in use by " +
                        (who.empty() ? std::string("another process") : who) +
                        ", which did not let go within " + duration(wait));
  };
  if (!mutex_.try_lock_until(deadline)) return busy();
  if (depth_++ == 0) {
    std::chrono::milliseconds pause{1};
    for (;;) {
      if (sys::flock(fd_, LOCK_EX | LOCK_NB, path_) == 0) break;
      if (errno == EINTR) continue;
      // Should flock fail for another reason, the lock still excludes this process's other
      // threads; there is nothing better to do.
      if (errno != EWOULDBLOCK) break;
      Clock::time_point now = Clock::now();
      if (now >= deadline) {
        --depth_;
        mutex_.unlock();
        return busy();
      }
      std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    std::string line = "process " + std::to_string(::getpid()) + " (" + ownCommand() + ")";
    if (::ftruncate(fd_, 0) == 0) (void)!::pwrite(fd_, line.data(), line.size(), 0);
  }
  return Held(shared_from_this());
}

void HomeLock::unlock() {
  if (--depth_ == 0) {
    if (::ftruncate(fd_, 0) != 0) {
      // The holder's line stays behind: harmless, the next holder writes its own.
    }
    sys::flock(fd_, LOCK_UN, path_);
  }
  mutex_.unlock();
}

std::string HomeLock::holder() const {
  char line[kMaxHolderBytes + 64] = {};
  ssize_t got = ::pread(fd_, line, sizeof line - 1, 0);
  std::string shown;
  for (ssize_t i = 0; i < got; ++i) {
    if (static_cast<unsigned char>(line[i]) >= 0x20 && line[i] != 0x7f) shown += line[i];  // for a terminal
  }
  return shown;
}

HomeLock::Held::Held(Held&& other) noexcept : lock_(std::move(other.lock_)) {}

HomeLock::Held& HomeLock::Held::operator=(Held&& other) noexcept {
  if (this != &other) {
    release();
    lock_ = std::move(other.lock_);
  }
  return *this;
}

HomeLock::Held::~Held() { release(); }

void HomeLock::Held::release() {
  if (!lock_) return;
  lock_->unlock();
  lock_.reset();
}

}  // namespace quillbox
