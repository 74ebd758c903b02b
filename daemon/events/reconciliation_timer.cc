#include "daemon/events/reconciliation_timer.h"

#include <algorithm>
#include <mutex>

namespace tamrin {

TimerClock TimerClock::system() {
  return {.wall = [] { return std::chrono::system_clock::now(); },
          .monotonic = [] { return std::chrono::steady_clock::now(); }};
}

// Shared by the timer object and its thread, so the thread can outlive an object destroyed
// from inside the handler.
struct ReconciliationTimer::State {
  // One round of the timer's thread: runs the handler when a run is due, else says how long
  // until one is. The wait is a relative timeout of poll(), which the kernel measures on the
  // monotonic clock, so no setting of the wall clock (or a faked one) stretches it.
  PollThread::Wait runIfDue();

  std::mutex mutex;
  std::optional<Deadline> deadline;
  Monotonic armedAt;
  std::optional<Monotonic> requestedAt;
  std::optional<Monotonic> lastRunEnded;
  bool stopped = false;
  bool running = false;  // the handler runs
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

}  // namespace

PollThread::Wait State::runIfDue() {
  std::unique_lock lock(mutex);
  if (stopped) return std::nullopt;  // the thread ends without another run
  const std::optional<Monotonic> due = nextRun(*this);
  if (!due) return std::nullopt;  // until an arm or a request wakes it
  const Monotonic::duration remaining = *due - clock.monotonic();
  if (remaining > Monotonic::duration::zero()) {
    // At most a minute at a time: a clock that reads wrong for a while is read again.
    return std::min<std::chrono::nanoseconds>(remaining, ReconciliationTimer::kLongestSleep);
  }
  deadline.reset();
  requestedAt.reset();
  running = true;
  const auto run = handler;
  lock.unlock();
  run();
  lock.lock();
  running = false;
  lastRunEnded = clock.monotonic();
  return std::chrono::nanoseconds::zero();  // what the handler armed is looked at at once
}

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
  thread_.start({.beforeWait = [state = state_] { return state->runIfDue(); }});
}

// The thread then ends: joined, or, when destroyed by the handler itself, once that returns.
ReconciliationTimer::~ReconciliationTimer() {
  std::lock_guard lock(state_->mutex);
  state_->stopped = true;  // no run starts from now on
}

void ReconciliationTimer::arm(Deadline deadline) {
  {
    std::lock_guard lock(state_->mutex);
    state_->deadline = deadline;
    state_->armedAt = state_->clock.monotonic();
  }
  thread_.wake();
}

void ReconciliationTimer::request() {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->requestedAt) state_->requestedAt = state_->clock.monotonic();
  }
  thread_.wake();
}

void ReconciliationTimer::clockChanged() { thread_.wake(); }

std::optional<ReconciliationTimer::Deadline> ReconciliationTimer::deadline() const {
  std::lock_guard lock(state_->mutex);
  return state_->deadline;
}

bool ReconciliationTimer::TEST_idle() const {
  std::lock_guard lock(state_->mutex);
  if (state_->running) return false;
  const std::optional<Monotonic> due = nextRun(*state_);
  return !due || *due > state_->clock.monotonic();
}

}  // namespace tamrin
