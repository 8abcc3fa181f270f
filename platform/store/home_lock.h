#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace quillbox {

// An exclusive lock of one home, <home>/lock (mode 0600) or another file of the home named so (the
// cloud sender's <home>/send-lock): shared by every process using the home and, within a process,
// by every thread and every store object on it. Re-entrant on one thread.
// Whoever holds it writes its pid and command line into the file, so that one who waits in vain
// can say who holds it.
class HomeLock : public std::enable_shared_from_this<HomeLock> {
 public:
  // How long lock() waits by default: a few seconds.
  static constexpr std::chrono::milliseconds kDefaultWait{5000};

  // The lock of the home (the same object for every caller in this process), its file created
  // when missing. Fails, naming the path and the reason, when the file cannot be opened.
  static Result<std::shared_ptr<HomeLock>> of(const std::filesystem::path& home,
                                              std::string_view name = "lock");

  ~HomeLock();
  HomeLock(const HomeLock&) = delete;
  HomeLock& operator=(const HomeLock&) = delete;

  // Holds the lock until destroyed, moved from, or release()d; a default-made Held holds nothing.
  // Release it on the thread that took it.
  class Held {
   public:
    Held() = default;
    Held(Held&& other) noexcept;
    Held& operator=(Held&& other) noexcept;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held();

    bool owns() const { return lock_ != nullptr; }
    void release();

   private:
    friend class HomeLock;
    explicit Held(std::shared_ptr<HomeLock> lock) : lock_(std::move(lock)) {}
    std::shared_ptr<HomeLock> lock_;
  };

  // Waits at most wait for the lock, then takes it; a nested call on the thread that holds it
  // returns at once. When another process (or thread) holds it for longer: Busy, naming the home
  // and the holder's pid and command line when it wrote them. A thread that holds the lock must not
  // wait for another thread that takes it.
  Result<Held> lock(std::chrono::milliseconds wait);
  Result<Held> lock() { return lock(wait_); }

  // Sets how long lock() waits when not told (kDefaultWait until set).
  void setWait(std::chrono::milliseconds wait) { wait_ = wait; }

  const std::filesystem::path& path() const { return path_; }

 private:
  struct Private {};

 public:
  HomeLock(Private, std::filesystem::path path, int fd);  // use of()

 private:
  void unlock();
  std::string holder() const;

  std::filesystem::path path_;
  int fd_;
  pid_t pid_;  // the process that opened fd_: a forked child takes a lock of its own
  std::recursive_timed_mutex mutex_;
  int depth_ = 0;  // guarded by mutex_
  std::chrono::milliseconds wait_ = kDefaultWait;
};

}  // namespace quillbox
