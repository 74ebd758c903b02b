#include "daemon/boot_anchor.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <system_error>

namespace tamrin {
namespace {

// Differences below this are the two clocks' jitter between passes, not a later end; ignoring
// them spares a policy write at every pass of a block.
constexpr double kJitter = 1.0;

double readBootTime() {
  timespec time{};
  if (::clock_gettime(CLOCK_BOOTTIME, &time) != 0) {
    throw std::system_error(errno, std::generic_category(), "Could not read the boot clock");
  }
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

std::string readBootId() {
  std::ifstream file("/proc/sys/kernel/random/boot_id");
  std::string id;
  if (!std::getline(file, id) || id.empty()) {
    throw std::runtime_error("Could not read the boot id.");
  }
  return id;
}

}  // namespace

BootClock BootClock::system() { return {.now = readBootTime, .bootId = readBootId}; }

std::optional<double> remainingHold(const std::optional<BootAnchor>& anchor,
                                    const BootReading& reading) {
  if (!anchor || anchor->bootId != reading.bootId) return std::nullopt;
  const double remaining = anchor->endsAtBootTime - reading.now;
  if (!(remaining > 0)) return std::nullopt;
  return remaining;
}

std::optional<BootAnchor> updatedAnchor(const std::optional<BootAnchor>& anchor,
                                        const BootReading& reading, Instant now,
                                        std::optional<Instant> scheduledEnd) {
  std::optional<BootAnchor> result;
  if (anchor && anchor->bootId == reading.bootId) result = anchor;
  const double scheduledRemaining = scheduledEnd ? std::max(*scheduledEnd - now, 0.0) : 0.0;
  if (scheduledEnd) {
    const double end = reading.now + scheduledRemaining;
    if (!result || end > result->endsAtBootTime + kJitter) {
      result = BootAnchor{.bootId = reading.bootId, .endsAtBootTime = end};
    }
  } else if (result && !remainingHold(result, reading)) {
    return std::nullopt;
  }
  const double cap = reading.now + scheduledRemaining + kLongestHold;
  if (result && result->endsAtBootTime > cap) result->endsAtBootTime = cap;
  return result;
}

}  // namespace tamrin
