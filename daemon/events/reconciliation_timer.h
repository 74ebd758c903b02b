#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "core/poll_thread.h"

namespace tamrin {

// The two clocks the timer reads; the daemon uses the system's, tests move them by hand.
struct TimerClock {
  std::function<std::chrono::system_clock::time_point()> wall;
  std::function<std::chrono::steady_clock::time_point()> monotonic;

  static TimerClock system();
};

// A one-shot timer on its own thread. `arm` sets a wall-clock deadline and replaces any
// earlier one; the handler runs once, on the timer's thread, at that deadline or 60 s after
// the arming on the monotonic clock, whichever comes first, so a wall clock set back never
// delays it by more than a minute. `request` asks for an early run: bursts of requests make
// one run, at least `settle` after the first request and `gap` after the previous run ended.
// After running, the timer waits unarmed for the next `arm` or `request`. Destroying the timer
// ends its thread; that is safe from inside the handler too.
class ReconciliationTimer {
 public:
  using Deadline = std::chrono::system_clock::time_point;
  using Monotonic = std::chrono::steady_clock::time_point;

  static constexpr std::chrono::seconds kLongestSleep{60};
  static constexpr std::chrono::milliseconds kSettle{30};
  static constexpr std::chrono::milliseconds kGap{250};

  explicit ReconciliationTimer(std::function<void()> handler,
                               TimerClock clock = TimerClock::system());
  ~ReconciliationTimer();
  ReconciliationTimer(const ReconciliationTimer&) = delete;
  ReconciliationTimer& operator=(const ReconciliationTimer&) = delete;

  void arm(Deadline deadline);
  // Thread-safe; never blocks on the handler.
  void request();
  // Makes the timer read both clocks again now (after they were changed).
  void clockChanged();
  // The deadline the timer is armed with; absent while unarmed or running its handler.
  std::optional<Deadline> deadline() const;
  // For tests: whether the handler neither runs nor is due at the clocks' current reading.
  bool TEST_idle() const;

  // The monotonic instant at which a deadline armed at `armedAt` falls due, with the clocks
  // reading `wallNow` and `monotonicNow`.
  static Monotonic dueAt(Deadline deadline, Monotonic armedAt, Deadline wallNow,
                         Monotonic monotonicNow);

  struct State;

 private:
  std::shared_ptr<State> state_;
  PollThread thread_;  // its wake is the timer's: every change makes it compute again
};

}  // namespace tamrin
