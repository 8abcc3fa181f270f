#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace quillbox {

// The run loop of the user-interface thread: the only place where deferred work runs. Items
// run one at a time, in the order they were posted, on the thread that runs the queue. Only
// one thread runs it (runPending, runUntilIdle, run); any thread may post.
class MainQueue {
 public:
  MainQueue() = default;
  ~MainQueue();
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // The queue of the app's user-interface thread. Never destroyed.
  static MainQueue& main();

  // Queues item to run on a later turn. Safe from any thread, the queue's own included.
  void post(std::function<void()> item);

  // Runs item on the queue's thread and returns once it has run: true. Runs it at once when
  // called from an item (the thread is then inside a turn). When the queue is stopped before the
  // item starts, the item never runs and false comes back, so a network thread never waits on
  // a queue that has ended.
  bool postAndWait(std::function<void()> item);

  // Runs the items queued so far, in order, on the calling thread; items they post run on a
  // later turn. Returns how many ran. An item that throws ends the turn: the items after it
  // stay queued, and the exception reaches the caller.
  std::size_t runPending();

  // Turns until nothing is queued (work that posts more work included). Returns how many ran.
  std::size_t runUntilIdle();

  // Runs items as they come until stop(). Returns at once on a stopped queue.
  void run();

  // Ends run() (after the item it is running) and stops the queue for good: postAndWait items
  // not yet started are dropped and their callers released. Plain posted items stay queued for
  // runPending(). Safe from any thread.
  void stop();

  // How many items are queued.
  std::size_t pendingCount() const;

 private:
  struct Waiter;
  // Runs the items queued so far; the lock is held on entry and on return. A turn of run()
  // ends early at stop(), leaving the rest queued.
  std::size_t runTurn(std::unique_lock<std::mutex>& lock, bool endAtStop);
  void runWaiter(const std::shared_ptr<Waiter>& waiter);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> items_;    // guarded by mutex_
  std::set<std::shared_ptr<Waiter>> waiters_;  // not yet started, guarded by mutex_
  int callers_ = 0;                            // threads inside postAndWait, guarded by mutex_
  std::thread::id runner_;                     // the thread inside a turn, guarded by mutex_
  std::atomic<bool> stopped_{false};
};

}  // namespace quillbox
