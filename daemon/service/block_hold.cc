#include "daemon/service/block_hold.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <system_error>

#include "core/system_error.h"

namespace tamrin {
namespace {

// Differences below this are the two clocks' jitter between passes, not a later end; ignoring
// them spares a policy write at every pass of a block.
constexpr double kJitter = 1.0;

double readBootTime() {
  timespec time{};
  if (::clock_gettime(CLOCK_BOOTTIME, &time) != 0) {
    throwErrno("Could not read the boot clock");
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

BootObservation observeBoot(const BootClock& clock, const std::string& startBootId) {
  BootObservation observation{.reading = {.bootId = startBootId, .now = clock.now()}};
  observation.idChanged = clock.bootId() != startBootId;
  return observation;
}

bool sameBoot(const BootAnchor& anchor, const BootReading& reading) {
  return anchor.bootId == reading.bootId &&
         (!anchor.recordedAtBootTime || reading.now + kJitter >= *anchor.recordedAtBootTime);
}

std::optional<double> remainingHold(const std::optional<BootAnchor>& anchor,
                                    const BootReading& reading, Instant now) {
  if (!anchor) return std::nullopt;
  double remaining = 0;
  if (sameBoot(*anchor, reading)) {
    remaining = anchor->endsAtBootTime - reading.now;
  } else if (anchor->endsAt) {
    remaining = std::min(*anchor->endsAt - now, kLongestHold);
  } else {
    return std::nullopt;
  }
  if (!(remaining > 0)) return std::nullopt;
  return remaining;
}

std::optional<BootAnchor> updatedAnchor(const std::optional<BootAnchor>& anchor,
                                        const BootReading& reading, Instant now,
                                        std::optional<Instant> scheduledEnd) {
  std::optional<BootAnchor> result;
  if (anchor && sameBoot(*anchor, reading)) {
    result = anchor;
  } else if (const auto carried = remainingHold(anchor, reading, now)) {
    result = BootAnchor{.bootId = reading.bootId, .endsAtBootTime = reading.now + *carried};
  }
  const double scheduledRemaining = scheduledEnd ? std::max(*scheduledEnd - now, 0.0) : 0.0;
  if (scheduledEnd) {
    const double end = reading.now + scheduledRemaining;
    if (!result || end > result->endsAtBootTime + kJitter) {
      result = BootAnchor{.bootId = reading.bootId, .endsAtBootTime = end};
    }
  } else if (result && !remainingHold(result, reading, now)) {
    return std::nullopt;
  }
  if (!result) return result;
  const double cap = reading.now + scheduledRemaining + kLongestHold;
  if (result->endsAtBootTime > cap) result->endsAtBootTime = cap;
  const Instant wallEnd = now + (result->endsAtBootTime - reading.now);
  if (!result->endsAt || std::abs(*result->endsAt - wallEnd) > kJitter) result->endsAt = wallEnd;
  if (result != anchor) result->recordedAtBootTime = reading.now;
  return result;
}

}  // namespace tamrin
