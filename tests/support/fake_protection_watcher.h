#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "daemon/events/protection_watcher.h"

namespace tamrin {

// A watcher that reports when the test says so.
class FakeProtectionWatcher final : public ProtectionWatcher {
 public:
  void start(Changed changed) override { changed_ = std::move(changed); }
  // Reports one change, on the caller's thread; nothing before start().
  void report(Change change = Change::packetFilter) const {
    if (changed_) changed_(change);
  }
  std::optional<std::string> problem() const override {
    std::lock_guard guard(lock_);
    return problem_;
  }
  void retry() override { ++retries; }
  void setProblem(std::optional<std::string> problem) {
    std::lock_guard guard(lock_);
    problem_ = std::move(problem);
  }
  std::atomic<int> retries{0};

 private:
  Changed changed_;
  mutable std::mutex lock_;
  std::optional<std::string> problem_;
};

}  // namespace tamrin
