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
  // Queues an item that logs name, then posts next when given.
  void post(const std::string& name, std::function<void()> next = nullptr) {
    queue_.post([this, name, next] {
      log_ += name + " ";
      if (next) next();
    });
  }
  // Runs one turn and closes it in the log with "|".
  void turn() {
    queue_.runPending();
    log_ += "| ";
  }

  MainQueue queue_;
  std::string log_;
};

// Work posted while a turn runs waits for the next; runUntilIdle turns until nothing is left. A stop
// ends run after the item that stops; a throwing item ends its turn; the rest runs later.
TEST_F(MainQueueTest, ATurnRunsWhatWasQueuedInOrderAndEndsAtAStopOrAThrow) {
  post("a");
  post("b", [this] { post("c", [this] { post("e", [this] { post("f"); }); }); });
  post("d");
  turn();
  turn();
  log_ += std::to_string(queue_.runUntilIdle());
  log_ += std::to_string(queue_.pendingCount()) + " | ";
  post("g");
  post("stop", [this] { queue_.stop(); });
  queue_.post([] { throw std::runtime_error("boom"); });
  post("h");
  queue_.run();
  log_ += std::to_string(queue_.pendingCount()) + " ";
  queue_.run();  // stopped: returns at once
  EXPECT_THROW(queue_.runPending(), std::runtime_error);
  log_ += "| ";
  turn();
  EXPECT_EQ(log_, "a b d | c | e f 20 | g stop 2 | h | ");
}

TEST_F(MainQueueTest, PostsFromManyThreadsAllRunKeepingEachThreadsOrder) {
  std::vector<std::thread> posters;
  std::vector<int> next(4, 0);
  std::atomic<int> outOfOrder{0};
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) queue_.post([&, t, i] { outOfOrder += next[t]++ != i; });
    });
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(std::to_string(queue_.runUntilIdle()) + " " + std::to_string(outOfOrder.load()), "800 0");
}

// From another thread it returns once the item ran on the queue's thread; from an item, at once. A
// stop releases the waiters, whose items never run; after it, a call returns at once.
TEST_F(MainQueueTest, PostAndWaitRunsTheItemOnTheQueuesThreadUntilAStopReleasesTheWaiters) {
  const std::thread::id queueThread = std::this_thread::get_id();
  std::thread network([&] {
    bool ran = queue_.postAndWait([&] {
      log_ += std::this_thread::get_id() == queueThread ? "outer " : "elsewhere ";
      log_ += queue_.postAndWait([this] { log_ += "inner "; }) ? "after " : "dropped ";
    });
    log_ += ran ? "answered " : "unanswered ";
    queue_.post([this] { queue_.stop(); });
  });
  queue_.run();
  network.join();

  MainQueue second;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] { released += !second.postAndWait([&] { log_ += "ran "; }); });
  while (second.pendingCount() < 3) std::this_thread::sleep_for(1ms);
  second.stop();
  for (auto& waiter : waiters) waiter.join();
  second.runUntilIdle();
  log_ += std::to_string(second.postAndWait([&] { log_ += "ran "; }));
  log_ += std::to_string(released.load());
  EXPECT_EQ(log_, "outer inner after answered 03");
}

}  // namespace
}  // namespace quillbox
