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
  std::vector<std::vector<int>> seen(4);
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([this, t, &seen] {
      for (int i = 0; i < 200; ++i) queue_.post([t, i, &seen] { seen[t].push_back(i); });
    });
  }
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(queue_.runUntilIdle(), 800u);
  for (int t = 0; t < 4; ++t) {
    std::vector<int> expected(200);
    for (int i = 0; i < 200; ++i) expected[i] = i;
    EXPECT_EQ(seen[t], expected) << "thread " << t;
  }
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
  EXPECT_TRUE(answered.load());
  EXPECT_EQ(ranOn, std::this_thread::get_id());
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
  EXPECT_EQ(released.load(), 3);
  EXPECT_FALSE(ran.load());
  EXPECT_FALSE(queue_.postAndWait([&] { ran = true; }));  // after the stop: at once
  EXPECT_FALSE(ran.load());
}

TEST_F(MainQueueTest, RunReturnsAfterTheItemThatStopsAndKeepsTheRestQueued) {
  post("a");
  queue_.post([this] {
    log_ += "stop ";
    queue_.stop();
  });
  post("b");
  queue_.run();
  EXPECT_EQ(log_ + std::to_string(queue_.pendingCount()), "a stop 1");
  queue_.run();  // stopped: returns at once
  turn();
  EXPECT_EQ(log_, "a stop b | ");
}

TEST_F(MainQueueTest, AThrowingItemEndsItsTurnAndTheRestRunsLater) {
  post("a");
  queue_.post([] { throw std::runtime_error("boom"); });
  post("b");
  EXPECT_THROW(queue_.runPending(), std::runtime_error);
  log_ += "| ";
  turn();
  EXPECT_EQ(log_, "a | b | ");
}

TEST_F(MainQueueTest, RunForRunsWhatComesAndReturnsWhenTimeIsUp) {
  std::thread poster([this] {
    std::this_thread::sleep_for(10ms);
    post("late");
  });
  std::size_t ran = queue_.runFor(200ms);
  poster.join();
  EXPECT_EQ(log_ + std::to_string(ran), "late 1");
}

}  // namespace
}  // namespace quillbox
