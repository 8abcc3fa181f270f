#include "platform/store/home_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/fault_seam.h"
#include "platform/temp_folder_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class HomeLockTest : public ::testing::Test {
 protected:
  HomeLockTest() { lock_ = HomeLock::of(home_).value(); }

  TempFolder temp_;
  std::filesystem::path home_ = temp_.path();
  std::shared_ptr<HomeLock> lock_;
};

TEST_F(HomeLockTest, IsReentrantAndExcludesOtherThreads) {
  std::atomic<bool> taken{false};
  std::thread contender;
  {
    Result<HomeLock::Held> outer = lock_->lock();
    ASSERT_TRUE(outer.ok());
    {
      Result<HomeLock::Held> inner = lock_->lock(milliseconds(0));  // would fail were it not re-entrant
      EXPECT_TRUE(inner.ok() && inner.value().owns());
      contender = std::thread([&] {
        Result<HomeLock::Held> theirs = HomeLock::of(home_).value()->lock(milliseconds(20000));
        taken = theirs.ok();
      });
      std::this_thread::sleep_for(milliseconds(50));
    }
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(taken.load()) << "taken while the outer lock was still held";
    HomeLock::Held moved = std::move(outer.value());
    EXPECT_FALSE(outer.value().owns());
    EXPECT_TRUE(moved.owns());
  }
  contender.join();
  EXPECT_TRUE(taken.load());
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
