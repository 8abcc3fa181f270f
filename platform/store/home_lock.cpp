#include "platform/store/home_lock.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <thread>

#include "base/escape.h"
#include "platform/store/home_files.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

std::string duration(std::chrono::milliseconds wait) {
  if (wait.count() % 1000 == 0) return std::to_string(wait.count() / 1000) + " s";
  return std::to_string(wait.count()) + " ms";
}

}  // namespace

HomeLock::HomeLock(Private, fs::path path, int fd) : path_(std::move(path)), fd_(fd), pid_(::getpid()) {}

HomeLock::~HomeLock() { homefiles::closeLock(fd_); }

Result<std::shared_ptr<HomeLock>> HomeLock::of(const fs::path& home, std::string_view name) {
  static std::mutex registryMutex;
  static auto* registry = new std::map<std::string, std::weak_ptr<HomeLock>>();  // outlives every user
  std::lock_guard<std::mutex> guard(registryMutex);
  std::weak_ptr<HomeLock>& slot = (*registry)[(homefiles::lockName(home) / name).string()];
  if (auto existing = slot.lock(); existing && existing->pid_ == ::getpid()) return existing;
  fs::path path = home / name;
  Result<int> fd = homefiles::openLock(path);
  if (!fd.ok()) return fd.status();
  auto made = std::make_shared<HomeLock>(Private{}, path, fd.value());
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
    // Should the file lock fail for another reason than another holder, the lock still excludes
    // this process's other threads; there is nothing better to do.
    while (homefiles::tryLock(fd_, path_) == homefiles::Take::busy) {
      Clock::time_point now = Clock::now();
      if (now >= deadline) {
        --depth_;
        mutex_.unlock();
        return busy();
      }
      std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    homefiles::writeHolder(fd_);
  }
  return Held(shared_from_this());
}

void HomeLock::unlock() {
  if (--depth_ == 0) homefiles::unlock(fd_, path_);
  mutex_.unlock();
}

std::string HomeLock::holder() const { return homefiles::readHolder(fd_); }

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
