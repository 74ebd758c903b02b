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

// Seconds the anchor still holds the block at `reading`; absent when there is no anchor, it
// belongs to another boot, or the boot clock has reached it.
std::optional<double> remainingHold(const std::optional<BootAnchor>& anchor,
                                    const BootReading& reading);

// The anchor to keep after a pass at wall instant `now`. One from another boot is dropped.
// While the schedule runs a block ending at `scheduledEnd`, that end moved to the boot clock
// becomes the anchor unless the anchor already lies later; an anchor is never moved earlier,
// except to cap it at kLongestHold after the scheduled end (or after `now` outside a block).
// An anchor the boot clock has reached outside a scheduled block is dropped.
std::optional<BootAnchor> updatedAnchor(const std::optional<BootAnchor>& anchor,
                                        const BootReading& reading, Instant now,
                                        std::optional<Instant> scheduledEnd);

}  // namespace tamrin
