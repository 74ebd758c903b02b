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

bool sameBoot(const BlockHold& hold, const BootReading& reading) {
  return hold.bootId == reading.bootId &&
         (!hold.recordedAtBootTime || reading.now + kJitter >= *hold.recordedAtBootTime);
}

std::optional<double> remainingHold(const std::optional<BlockHold>& hold,
                                    const BootReading& reading, Instant now) {
  if (!hold) return std::nullopt;
  double remaining = 0;
  if (sameBoot(*hold, reading)) {
    remaining = hold->endsAtBootTime - reading.now;
  } else if (hold->endsAt) {
    remaining = std::min(*hold->endsAt - now, kLongestHold);
  } else {
    return std::nullopt;
  }
  if (!(remaining > 0)) return std::nullopt;
  return remaining;
}

std::optional<double> remainingHoldOrWallEnd(const BlockHold& hold,
                                             const std::optional<BootReading>& reading,
                                             Instant now) {
  if (reading) return remainingHold(std::optional(hold), *reading, now);
  if (!hold.endsAt || !(*hold.endsAt - now > 0)) return std::nullopt;
  return std::min(*hold.endsAt - now, kLongestHold);
}

bool holdsConfiguration(const std::optional<BlockHold>& hold, const BootReading& reading,
                        Instant now) {
  const auto remaining = remainingHold(hold, reading, now);
  return remaining && *remaining > kJitter;
}

std::optional<BlockHold> updatedHold(const std::optional<BlockHold>& hold,
                                     const BootReading& reading, Instant now,
                                     std::optional<Instant> scheduledEnd) {
  std::optional<BlockHold> result;
  if (hold && sameBoot(*hold, reading)) {
    result = hold;
  } else if (const auto carried = remainingHold(hold, reading, now)) {
    result = BlockHold{.bootId = reading.bootId, .endsAtBootTime = reading.now + *carried};
  }
  const double scheduledRemaining = scheduledEnd ? std::max(*scheduledEnd - now, 0.0) : 0.0;
  if (scheduledEnd) {
    const double end = reading.now + scheduledRemaining;
    if (!result || end > result->endsAtBootTime + kJitter) {
      result = BlockHold{.bootId = reading.bootId, .endsAtBootTime = end};
    }
  } else if (result && !remainingHold(result, reading, now)) {
    return std::nullopt;
  }
  if (!result) return result;
  const double cap = reading.now + scheduledRemaining + kLongestHold;
  if (result->endsAtBootTime > cap) result->endsAtBootTime = cap;
  const Instant wallEnd = now + (result->endsAtBootTime - reading.now);
  if (!result->endsAt || std::abs(*result->endsAt - wallEnd) > kJitter) result->endsAt = wallEnd;
  if (result != hold) result->recordedAtBootTime = reading.now;
  return result;
}

std::optional<Instant> heldBeyondSchedule(const TamrinPolicy& policy, const BootReading& reading,
                                          Instant now, const Calendar& calendar) {
  const auto remaining = remainingHold(policy.blockHold, reading, now);
  if (!remaining) return std::nullopt;
  const Instant until = now + *remaining;
  if (policy.shouldEnforce(now, calendar) &&
      until <= policy.nextScheduledAccessStart(now, calendar) + kJitter) {
    return std::nullopt;
  }
  return until;
}

std::optional<Instant> policyBlockEnd(const TamrinPolicy& policy,
                                      const std::optional<BootReading>& reading, Instant now,
                                      const Calendar& calendar) {
  std::optional<Instant> end;
  if (policy.shouldEnforce(now, calendar)) end = policy.nextScheduledAccessStart(now, calendar);
  if (reading) {
    if (const auto held = remainingHold(policy.blockHold, *reading, now)) {
      end = std::max(end.value_or(now), now + *held);
    }
  }
  return end;
}

}  // namespace tamrin
