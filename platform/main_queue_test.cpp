#include "platform/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quillbox {
namespace {

using namespace std::chrono_literals;

class MainQueueTest : public ::testing::Test {
 protected:
  // Queues an item that logs name.
  void post(const std::string& name) {
    queue_.post([this, name] { log_ += name + " "; });
  }
  // Runs one turn and closes it in the log with "|".
  void turn() {
    queue_.runPending();
    log_ += "| ";
  }

  MainQueue queue_;
  std::string log_;
};

TEST_F(MainQueueTest, ATurnRunsWhatWasQueuedInOrderLeavingNewWorkForTheNextRunUntilIdleFollowsIt) {
  post("a");
  queue_.post([this] {
    log_ += "b ";
    queue_.post([this] {  // posted while running: next turn
      log_ += "c ";
      queue_.post([this] {
        log_ += "e ";
        post("f");
      });
    });
  });
  post("d");
  turn();
  turn();
  EXPECT_EQ(log_, "a b d | c | ");
  EXPECT_EQ(queue_.runUntilIdle(), 2u);
  EXPECT_EQ(log_ + std::to_string(queue_.pendingCount()), "a b d | c | e f 0");
}

TEST_F(MainQueueTest, PostsFromManyThreadsAllRunKeepingEachThreadsOrder) {
  std::vector<std::thread> posters;
  std::vector<int> next(4, 0);
  std::atomic<int> outOfOrder{0};
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) queue_.post([&, t, i] { outOfOrder += next[t]++ != i; });
    });
  }
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(queue_.runUntilIdle(), 800u);
  EXPECT_EQ(outOfOrder.load(), 0);
}

// From another thread it returns once the item ran on the queue's thread; from an item, at once.
TEST_F(MainQueueTest, PostAndWaitRunsTheItemOnTheQueuesThread) {
  std::thread::id ranOn;
  std::atomic<bool> answered{false};
  std::thread network([&] {
    bool ran = queue_.postAndWait([&] {
      ranOn = std::this_thread::get_id();
      log_ += "outer ";
      log_ += queue_.postAndWait([this] { log_ += "inner "; }) ? "after" : "dropped";
    });
    answered = ran;
    queue_.post([this] { queue_.stop(); });
  });
  queue_.run();
  network.join();
  EXPECT_TRUE(answered.load() && ranOn == std::this_thread::get_id());
  EXPECT_EQ(log_, "outer inner after");
}

TEST_F(MainQueueTest, StoppingReleasesWaitersAndTheirItemsNeverRun) {
  std::atomic<int> released{0};
  std::atomic<bool> ran{false};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (!queue_.postAndWait([&] { ran = true; })) ++released;
    });
  }
  while (queue_.pendingCount() < 3) std::this_thread::sleep_for(1ms);
  queue_.stop();
  for (auto& waiter : waiters) waiter.join();
  queue_.runUntilIdle();
  EXPECT_FALSE(queue_.postAndWait([&] { ran = true; }));  // after the stop: at once
  EXPECT_EQ(std::to_string(released.load()) + " " + std::to_string(ran.load()), "3 0");
}

// A stop ends run after the item that stops; a throwing item ends its turn. The rest runs later.
TEST_F(MainQueueTest, RunReturnsAfterTheItemThatStopsOrThrowsAndKeepsTheRestQueued) {
  post("a");
  queue_.post([this] {
    log_ += "stop ";
    queue_.stop();
  });
  queue_.post([] { throw std::runtime_error("boom"); });
  post("b");
  queue_.run();
  log_ += std::to_string(queue_.pendingCount()) + " ";
  queue_.run();  // stopped: returns at once
  EXPECT_THROW(queue_.runPending(), std::runtime_error);
  log_ += "| ";
  turn();
  EXPECT_EQ(log_, "a stop 2 | b | ");
}

}  // namespace
}  // namespace quillbox
