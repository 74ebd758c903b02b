#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/instant.h"
#include "core/policy.h"

namespace tamrin {

// The machine's boot clock (CLOCK_BOOTTIME, which counts suspended time too) and the id of
// the current boot. Either function may throw when it cannot be read.
struct BootClock {
  std::function<double()> now;
  std::function<std::string()> bootId;

  // CLOCK_BOOTTIME and /proc/sys/kernel/random/boot_id.
  static BootClock system();
};

// One reading of the boot clock.
struct BootReading {
  std::string bootId;
  double now = 0;
};

// The longest a block can be held past its scheduled end: a longer anchor is corrupt.
inline constexpr double kLongestHold = 7 * 24 * 3600.0;

// A reading of the boot clock judged against the boot id read when the daemon started: a
// later, different id is something mounted over the file, not a reboot, so the id of the
// start stands and `idChanged` says so. Throws when the clock cannot be read.
struct BootObservation {
  BootReading reading;
  bool idChanged = false;
};
BootObservation observeBoot(const BootClock& clock, const std::string& startBootId);

// Whether `anchor` was written during the boot of `reading`: the same id, and a boot clock
// not smaller than the one the anchor was written at.
bool sameBoot(const BootAnchor& anchor, const BootReading& reading);

// Seconds the anchor still holds the block at `reading` and wall instant `now`: on its own
// boot by the boot clock, after a reboot by its wall end (at most kLongestHold). Absent when
// there is no anchor, or it has ended, or it is of another boot and has no wall end.
std::optional<double> remainingHold(const std::optional<BootAnchor>& anchor,
                                    const BootReading& reading, Instant now);

// The anchor to keep after a pass at wall instant `now`. One from another boot carries over
// what its wall end still holds, or is dropped. While the schedule runs a block ending at
// `scheduledEnd`, that end moved to the boot clock becomes the anchor unless the anchor
// already lies later; an anchor is never moved earlier, except to cap it at kLongestHold after
// the scheduled end (or after `now` outside a block). An anchor the boot clock has reached
// outside a scheduled block is dropped. The wall end follows the boot clock's end, and an
// anchor that changes is stamped with the reading.
std::optional<BootAnchor> updatedAnchor(const std::optional<BootAnchor>& anchor,
                                        const BootReading& reading, Instant now,
                                        std::optional<Instant> scheduledEnd);

}  // namespace tamrin
