#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillbox {

// The kinds of file call that pass through the seam: our own (the folder cloud store, the atomic
// file write, the home lock) through the wrappers below, and SQLite's on its database files
// through the file layer the SQLite helper registers; and the cloud transports' round trips to a
// server (send, on the server's address), so that a kill can land between any two of a sync's steps.
enum class FileCall { open, read, write, fsync, rename, lockWait, send };

// A test's plan of file faults: calls of a kind fail for a while and then recover, are counted,
// and a callback can run before the n-th one (another process writing between two of ours). A plan
// is installed for as long as it lives, at most one at a time, and applies to every thread. With
// no plan installed a call costs one pointer check.
class FaultPlan {
 public:
  static constexpr int kForever = -1;

  FaultPlan();
  ~FaultPlan();
  FaultPlan(const FaultPlan&) = delete;
  FaultPlan& operator=(const FaultPlan&) = delete;

  // From now on, calls of that kind on a path that contains where ("" for every path) fail with
  // error (an errno value; for SQLite, the matching I/O error or "busy" for a lock): the first
  // skip of them still succeed, then times of them fail (kForever: until recover()).
  FaultPlan& fail(FileCall call, int error, std::string where = "", int times = kForever, int skip = 0);
  // Ends the failures of that kind: the calls succeed again.
  FaultPlan& recover(FileCall call);
  // Runs action once, just before the n-th call of that kind from now (1 is the next) on a path that
  // contains where. File calls the action makes itself are neither counted nor failed.
  FaultPlan& before(FileCall call, int n, std::function<void()> action, std::string where = "");

  // How many calls of that kind were made on paths that contain where since the plan was installed.
  int calls(FileCall call, std::string_view where = "") const;

  // For the wrappers: 0 when the call goes ahead, else the errno it fails with.
  static int consult(FileCall call, std::string_view path) {
    FaultPlan* plan = installed_.load(std::memory_order_acquire);
    return plan == nullptr ? 0 : plan->decide(call, path);
  }

 private:
  struct Rule {
    FileCall call;
    std::string where;
    int error = 0;  // 0 for an action
    int skip = 0;
    int times = 0;
    int seen = 0;
    std::function<void()> action;
  };
  int decide(FileCall call, std::string_view path);

  static std::atomic<FaultPlan*> installed_;
  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  std::map<std::pair<FileCall, std::string>, int> counts_;
};

// Our file calls, each one the system call of the same name after a word with the plan. They fail
// as the system calls do (-1 and errno). The path is the one the file was opened by.
namespace sys {
int open(const std::filesystem::path& path, int flags, mode_t mode = 0);
ssize_t read(int fd, void* buffer, std::size_t size, const std::filesystem::path& path);
ssize_t write(int fd, const void* bytes, std::size_t size, const std::filesystem::path& path);
int fsync(int fd, const std::filesystem::path& path);
int rename(const std::filesystem::path& from, const std::filesystem::path& to);
// flock(2), the lock wait: a planned fault fails it as a lock another process holds (EWOULDBLOCK).
int flock(int fd, int operation, const std::filesystem::path& path);
}  // namespace sys

}  // namespace quillbox
