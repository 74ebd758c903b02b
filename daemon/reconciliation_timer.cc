#include "daemon/reconciliation_timer.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace tamrin {

TimerClock TimerClock::system() {
  return {.wall = [] { return std::chrono::system_clock::now(); },
          .monotonic = [] { return std::chrono::steady_clock::now(); }};
}

// Shared by the timer object and its thread, so the thread can outlive an object destroyed
// from inside the handler.
struct ReconciliationTimer::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Deadline> deadline;
  Monotonic armedAt;
  std::optional<Monotonic> requestedAt;
  std::optional<Monotonic> lastRunEnded;
  bool stopped = false;
  std::function<void()> handler;
  TimerClock clock;
};

namespace {

using State = ReconciliationTimer::State;
using Monotonic = ReconciliationTimer::Monotonic;

// When the next run falls due on the monotonic clock; absent while nothing is pending.
std::optional<Monotonic> nextRun(const State& state) {
  std::optional<Monotonic> due;
  const Monotonic now = state.clock.monotonic();
  if (state.deadline) {
    due = ReconciliationTimer::dueAt(*state.deadline, state.armedAt, state.clock.wall(), now);
  }
  if (state.requestedAt) {
    Monotonic requested = *state.requestedAt + ReconciliationTimer::kSettle;
    if (state.lastRunEnded) {
      requested = std::max(requested, *state.lastRunEnded + ReconciliationTimer::kGap);
    }
    due = due ? std::min(*due, requested) : requested;
  }
  return due;
}

void runTimer(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  while (!state->stopped) {
    const std::optional<Monotonic> due = nextRun(*state);
    if (!due) {
      state->changed.wait(lock);
      continue;
    }
    const auto remaining = *due - state->clock.monotonic();
    if (remaining > Monotonic::duration::zero()) {
      // Sleeps on the monotonic clock; any change wakes it to compute again.
      state->changed.wait_for(lock, remaining);
      continue;
    }
    state->deadline.reset();
    state->requestedAt.reset();
    const auto handler = state->handler;
    lock.unlock();
    handler();
    lock.lock();
    state->lastRunEnded = state->clock.monotonic();
  }
}

}  // namespace

ReconciliationTimer::Monotonic ReconciliationTimer::dueAt(Deadline deadline, Monotonic armedAt,
                                                          Deadline wallNow,
                                                          Monotonic monotonicNow) {
  const auto untilDeadline = std::chrono::duration_cast<Monotonic::duration>(deadline - wallNow);
  return std::min(monotonicNow + untilDeadline, armedAt + kLongestSleep);
}

ReconciliationTimer::ReconciliationTimer(std::function<void()> handler, TimerClock clock)
    : state_(std::make_shared<State>()) {
  state_->handler = std::move(handler);
  state_->clock = std::move(clock);
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
    state_->armedAt = state_->clock.monotonic();
  }
  state_->changed.notify_all();
}

void ReconciliationTimer::request() {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->requestedAt) state_->requestedAt = state_->clock.monotonic();
  }
  state_->changed.notify_all();
}

void ReconciliationTimer::clockChanged() {
  { std::lock_guard lock(state_->mutex); }  // a waiter between reading and sleeping sees it
  state_->changed.notify_all();
}

std::optional<ReconciliationTimer::Deadline> ReconciliationTimer::deadline() const {
  std::lock_guard lock(state_->mutex);
  return state_->deadline;
}

}  // namespace tamrin
