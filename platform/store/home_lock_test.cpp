#include "platform/store/home_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/fault_seam.h"
#include "platform/temp_folder_test_support.h"

namespace quillbox {
namespace {

using std::chrono::milliseconds;

class HomeLockTest : public ::testing::Test {
 protected:
  TempFolder temp_;
  std::shared_ptr<HomeLock> lock_ = HomeLock::of(temp_.path()).value();
};

// Another thread asks with no wait, in a thread joined before the answer is read.
TEST_F(HomeLockTest, IsReentrantAndExcludesOtherThreadsUntilTheOutermostHoldEnds) {
  auto otherThreadTakes = [&] {
    bool taken = false;
    std::thread([&] { taken = HomeLock::of(temp_.path()).value()->lock(milliseconds(0)).ok(); }).join();
    return std::to_string(taken);
  };
  std::string log;
  {
    Result<HomeLock::Held> outer = lock_->lock();
    ASSERT_TRUE(outer.ok());
    {
      Result<HomeLock::Held> inner = lock_->lock(milliseconds(0));  // would fail were it not re-entrant
      log += std::to_string(inner.ok() && inner.value().owns()) + otherThreadTakes();
    }
    log += otherThreadTakes() + " ";
    HomeLock::Held moved = std::move(outer.value());
    log += std::to_string(outer.value().owns()) + std::to_string(moved.owns()) + otherThreadTakes() + " ";
  }
  EXPECT_EQ(log + otherThreadTakes(), "100 010 1");
}

// Another process has a lock file of its own: a hold let go is free for it at once, the lock kept.
TEST_F(HomeLockTest, AHoldLetGoIsFreeForAnotherProcessAtOnce) {
  auto otherProcessTakes = [&] {
    pid_t child = ::fork();
    if (child == 0) ::_exit(HomeLock::of(temp_.path()).value()->lock(milliseconds(0)).ok() ? 0 : 1);
    int status = 1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  Result<HomeLock::Held> held = lock_->lock();
  ASSERT_TRUE(held.ok());
  EXPECT_FALSE(otherProcessTakes());
  held.value().release();
  EXPECT_TRUE(otherProcessTakes());
}

TEST_F(HomeLockTest, ALockHeldForAWhileIsTakenOnceLetGoAndNeverWaitedForBeyondTheBound) {
  FaultPlan plan;
  plan.fail(FileCall::lockWait, EWOULDBLOCK, "lock", 3);
  EXPECT_TRUE(lock_->lock(milliseconds(20000)).ok());
  EXPECT_EQ(plan.calls(FileCall::lockWait, "lock"), 4);
  plan.fail(FileCall::lockWait, EWOULDBLOCK, "lock");
  Result<HomeLock::Held> refused = lock_->lock(milliseconds(30));
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.status().message().find("by another process, which did not let go within 30 ms"),
            std::string::npos)
      << refused.status().message();
}

}  // namespace
}  // namespace quillbox
