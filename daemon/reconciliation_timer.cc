#include "daemon/reconciliation_timer.h"

#include <condition_variable>
#include <mutex>

namespace tamrin {

// Shared by the timer object and its thread, so the thread can outlive an object destroyed
// from inside the handler.
struct ReconciliationTimer::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Deadline> deadline;
  bool stopped = false;
  std::function<void()> handler;
};

namespace {

void runTimer(const std::shared_ptr<ReconciliationTimer::State>& state) {
  std::unique_lock lock(state->mutex);
  while (!state->stopped) {
    if (!state->deadline) {
      state->changed.wait(lock);
      continue;
    }
    const auto deadline = *state->deadline;
    if (std::chrono::system_clock::now() < deadline) {
      state->changed.wait_until(lock, deadline);
      continue;  // re-read: the deadline may have been replaced or the timer stopped
    }
    state->deadline.reset();
    const auto handler = state->handler;
    lock.unlock();
    handler();
    lock.lock();
  }
}

}  // namespace

ReconciliationTimer::ReconciliationTimer(std::function<void()> handler)
    : state_(std::make_shared<State>()) {
  state_->handler = std::move(handler);
  thread_ = std::thread([state = state_] { runTimer(state); });
}

ReconciliationTimer::~ReconciliationTimer() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
  }
  state_->changed.notify_all();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // destroyed by our own handler: the loop ends when it returns
  } else {
    thread_.join();
  }
}

void ReconciliationTimer::arm(Deadline deadline) {
  {
    std::lock_guard lock(state_->mutex);
    state_->deadline = deadline;
  }
  state_->changed.notify_all();
}

std::optional<ReconciliationTimer::Deadline> ReconciliationTimer::deadline() const {
  std::lock_guard lock(state_->mutex);
  return state_->deadline;
}

}  // namespace tamrin
