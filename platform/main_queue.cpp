#include "platform/main_queue.h"

#include <iterator>
#include <utility>

namespace quillbox {

// One postAndWait call: its item and how far it got. Guarded by the queue's mutex.
struct MainQueue::Waiter {
  enum class State { waiting, running, done, dropped };
  std::function<void()> item;
  State state = State::waiting;
  std::condition_variable changed;
};

MainQueue& MainQueue::main() {
  static MainQueue* queue = new MainQueue();
  return *queue;
}

MainQueue::~MainQueue() {
  stop();
  std::unique_lock<std::mutex> lock(mutex_);
  // A caller released by stop() still needs the mutex on its way out.
  wake_.wait(lock, [this] { return callers_ == 0; });
}

void MainQueue::post(std::function<void()> item) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    items_.push_back(std::move(item));
  }
  wake_.notify_all();
}

bool MainQueue::postAndWait(std::function<void()> item) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (runner_ == std::this_thread::get_id()) {
    lock.unlock();
    item();
    return true;
  }
  if (stopped_) return false;
  auto waiter = std::make_shared<Waiter>();
  waiter->item = std::move(item);
  waiters_.insert(waiter);
  items_.push_back([this, waiter] { runWaiter(waiter); });
  ++callers_;
  wake_.notify_all();
  waiter->changed.wait(
      lock, [&] { return waiter->state == Waiter::State::done || waiter->state == Waiter::State::dropped; });
  --callers_;
  wake_.notify_all();
  return waiter->state == Waiter::State::done;
}

void MainQueue::runWaiter(const std::shared_ptr<Waiter>& waiter) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (waiter->state == Waiter::State::dropped) return;
    waiter->state = Waiter::State::running;
    waiters_.erase(waiter);
  }
  struct Finish {
    MainQueue* queue;
    const std::shared_ptr<Waiter>& waiter;
    ~Finish() {
      std::lock_guard<std::mutex> guard(queue->mutex_);
      waiter->state = Waiter::State::done;
      waiter->changed.notify_all();
    }
  } finish{this, waiter};
  waiter->item();
}

std::size_t MainQueue::runTurn(std::unique_lock<std::mutex>& lock, bool endAtStop) {
  std::deque<std::function<void()>> turn;
  turn.swap(items_);
  std::thread::id previous = std::exchange(runner_, std::this_thread::get_id());
  lock.unlock();
  // Puts back what the turn left, however it ends: an item that throws leaves the rest queued.
  struct Requeue {
    MainQueue* queue;
    std::unique_lock<std::mutex>& lock;
    std::deque<std::function<void()>>& turn;
    std::thread::id previous;
    ~Requeue() {
      lock.lock();
      queue->items_.insert(queue->items_.begin(), std::make_move_iterator(turn.begin()),
                           std::make_move_iterator(turn.end()));
      queue->runner_ = previous;
    }
  } requeue{this, lock, turn, previous};
  std::size_t ran = 0;
  while (!turn.empty() && !(endAtStop && stopped_)) {
    std::function<void()> item = std::move(turn.front());
    turn.pop_front();
    ++ran;
    item();
  }
  return ran;
}

std::size_t MainQueue::runPending() {
  std::unique_lock<std::mutex> lock(mutex_);
  return runTurn(lock, false);
}

std::size_t MainQueue::runUntilIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::size_t ran = 0;
  while (!items_.empty()) ran += runTurn(lock, false);
  return ran;
}

void MainQueue::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopped_) {
    wake_.wait(lock, [this] { return stopped_ || !items_.empty(); });
    if (stopped_) break;
    runTurn(lock, true);
  }
}

void MainQueue::stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopped_ = true;
    for (const auto& waiter : waiters_) {
      waiter->state = Waiter::State::dropped;
      waiter->changed.notify_all();
    }
    waiters_.clear();
  }
  wake_.notify_all();
}

std::size_t MainQueue::pendingCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return items_.size();
}

}  // namespace quillbox
