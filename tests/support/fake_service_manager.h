#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>

#include "daemon/enforcement/stop_guard.h"

namespace tamrin {

// A systemd in miniature for the unit "tamrin-daemon.service": it reads the unit's drop-in
// `file` only when reloaded, so it refuses a manual stop only once a reload has seen the
// guard, and reports a change of the file it has not read yet. Safe from any thread.
class FakeServiceManager final : public ServiceManager {
 public:
  explicit FakeServiceManager(std::filesystem::path file) : file_(std::move(file)) {}

  std::string unit() const override { return "tamrin-daemon.service"; }

  UnitState unitState() override {
    const std::lock_guard lock(mutex_);
    if (unreachable) throw std::runtime_error("systemd is not answering");
    return {.refusesManualStop =
                !overridden && loaded_.find("RefuseManualStop=yes") != std::string::npos,
            .needsReload = read() != loaded_};
  }

  void reload() override {
    const std::lock_guard lock(mutex_);
    if (unreachable) throw std::runtime_error("systemd is not answering");
    ++reloads;
    loaded_ = read();
  }

  // A test's knobs: a drop-in of someone else's undoes the refusal; the manager cannot be
  // reached.
  std::atomic<bool> overridden{false};
  std::atomic<bool> unreachable{false};
  std::atomic<int> reloads{0};

 private:
  std::string read() const {
    std::ifstream in(file_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  const std::filesystem::path file_;
  std::mutex mutex_;
  std::string loaded_;
};

}  // namespace tamrin
