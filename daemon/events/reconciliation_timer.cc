#include "daemon/events/reconciliation_timer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <system_error>

namespace tamrin {

TimerClock TimerClock::system() {
  return {.wall = [] { return std::chrono::system_clock::now(); },
          .monotonic = [] { return std::chrono::steady_clock::now(); }};
}

// Shared by the timer object and its thread, so the thread can outlive an object destroyed
// from inside the handler.
struct ReconciliationTimer::State {
  State() : wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (wake < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  ~State() { ::close(wake); }
  // Wakes the thread. Its sleeps are relative timeouts of poll(), which the kernel measures on
  // the monotonic clock, so no setting of the wall clock (or a faked one) stretches them.
  void notify() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
  }
  // Sleeps until notified or `timeout` has passed; forever without a timeout.
  void sleep(std::optional<std::chrono::nanoseconds> timeout) const {
    int milliseconds = -1;
    if (timeout) {
      const auto rounded = std::chrono::ceil<std::chrono::milliseconds>(*timeout).count();
      milliseconds = static_cast<int>(std::clamp<std::int64_t>(rounded, 0, 60'000));
    }
    pollfd descriptor{wake, POLLIN, 0};
    ::poll(&descriptor, 1, milliseconds);
    std::uint64_t count;
    [[maybe_unused]] const ssize_t read = ::read(wake, &count, sizeof count);
  }

  std::mutex mutex;
  const int wake;
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

void runTimer(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  while (!state->stopped) {
    const std::optional<Monotonic> due = nextRun(*state);
    const auto remaining = due ? std::optional(*due - state->clock.monotonic()) : std::nullopt;
    if (!remaining || *remaining > Monotonic::duration::zero()) {
      // Any change wakes it to compute again.
      lock.unlock();
      state->sleep(remaining);
      lock.lock();
      continue;
    }
    state->deadline.reset();
    state->requestedAt.reset();
    state->running = true;
    const auto handler = state->handler;
    lock.unlock();
    handler();
    lock.lock();
    state->running = false;
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
  state_->notify();
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
  state_->notify();
}

void ReconciliationTimer::request() {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->requestedAt) state_->requestedAt = state_->clock.monotonic();
  }
  state_->notify();
}

void ReconciliationTimer::clockChanged() { state_->notify(); }

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
