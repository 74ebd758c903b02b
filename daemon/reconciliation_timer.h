#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace tamrin {

// A one-shot timer on its own thread with a wall-clock deadline. `arm` replaces any earlier
// deadline; when the deadline passes the handler runs once on the timer's thread and the
// timer waits, unarmed, for the next `arm`. Destroying the timer ends its thread; that is safe
// from inside the handler too.
class ReconciliationTimer {
 public:
  using Deadline = std::chrono::system_clock::time_point;

  explicit ReconciliationTimer(std::function<void()> handler);
  ~ReconciliationTimer();
  ReconciliationTimer(const ReconciliationTimer&) = delete;
  ReconciliationTimer& operator=(const ReconciliationTimer&) = delete;

  void arm(Deadline deadline);
  // The deadline the timer is armed with; absent while unarmed or running its handler.
  std::optional<Deadline> deadline() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace tamrin
