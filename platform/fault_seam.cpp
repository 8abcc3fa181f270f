#include "platform/fault_seam.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace quillbox {

std::atomic<FaultPlan*> FaultPlan::installed_{nullptr};

namespace {
// Set while a plan's action runs on this thread: its own file calls go ahead untouched.
thread_local bool tInAction = false;
}  // namespace

FaultPlan::FaultPlan() {
  FaultPlan* expected = nullptr;
  if (!installed_.compare_exchange_strong(expected, this)) {
    std::fputs("quillbox: a second fault plan was installed while one is in place\n", stderr);
    std::abort();
  }
}

FaultPlan::~FaultPlan() { installed_.store(nullptr, std::memory_order_release); }

FaultPlan& FaultPlan::fail(FileCall call, int error, std::string where, int times, int skip) {
  std::lock_guard<std::mutex> guard(mutex_);
  rules_.push_back(Rule{call, std::move(where), error, skip, times, 0, nullptr});
  return *this;
}

FaultPlan& FaultPlan::recover(FileCall call) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(rules_, [&](const Rule& rule) { return rule.call == call && rule.error != 0; });
  return *this;
}

FaultPlan& FaultPlan::before(FileCall call, int n, std::function<void()> action, std::string where) {
  std::lock_guard<std::mutex> guard(mutex_);
  rules_.push_back(Rule{call, std::move(where), 0, n - 1, 1, 0, std::move(action)});
  return *this;
}

int FaultPlan::calls(FileCall call, std::string_view where) const {
  std::lock_guard<std::mutex> guard(mutex_);
  int total = 0;
  for (const auto& [key, count] : counts_) {
    if (key.first == call && key.second.find(where) != std::string::npos) total += count;
  }
  return total;
}

int FaultPlan::decide(FileCall call, std::string_view path) {
  if (tInAction) return 0;
  std::function<void()> action;
  int error = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++counts_[{call, std::string(path)}];
    for (Rule& rule : rules_) {
      if (rule.call != call || path.find(rule.where) == std::string_view::npos) continue;
      int seen = ++rule.seen;
      bool due = seen > rule.skip && (rule.times == kForever || seen <= rule.skip + rule.times);
      if (!due) continue;
      if (rule.action) {
        action = std::exchange(rule.action, nullptr);
      } else if (error == 0) {
        error = rule.error;
      }
    }
  }
  if (action) {
    tInAction = true;
    action();
    tInAction = false;
  }
  return error;
}

namespace sys {

namespace {
// Fails the way the system call would: -1 with errno set.
int refused(int error) {
  errno = error;
  return -1;
}
}  // namespace

int open(const std::filesystem::path& path, int flags, mode_t mode) {
  if (int error = FaultPlan::consult(FileCall::open, path.native())) return refused(error);
  return ::open(path.c_str(), flags, mode);
}

ssize_t read(int fd, void* buffer, std::size_t size, const std::filesystem::path& path) {
  if (int error = FaultPlan::consult(FileCall::read, path.native())) return refused(error);
  return ::read(fd, buffer, size);
}

ssize_t write(int fd, const void* bytes, std::size_t size, const std::filesystem::path& path) {
  if (int error = FaultPlan::consult(FileCall::write, path.native())) return refused(error);
  return ::write(fd, bytes, size);
}

int fsync(int fd, const std::filesystem::path& path) {
  if (int error = FaultPlan::consult(FileCall::fsync, path.native())) return refused(error);
  return ::fsync(fd);
}

int rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (int error = FaultPlan::consult(FileCall::rename, to.native())) return refused(error);
  return ::rename(from.c_str(), to.c_str());
}

int flock(int fd, int operation, const std::filesystem::path& path) {
  if ((operation & LOCK_UN) == 0) {
    if (int error = FaultPlan::consult(FileCall::lockWait, path.native())) return refused(error);
  }
  return ::flock(fd, operation);
}

}  // namespace sys

}  // namespace quillbox
