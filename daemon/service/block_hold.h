#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/calendar.h"
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

// The longest a block can be held past its scheduled end: a longer hold is corrupt.
inline constexpr double kLongestHold = 7 * 24 * 3600.0;

// A reading of the boot clock judged against the boot id read when the daemon started: a
// later, different id is something mounted over the file, not a reboot, so the id of the
// start stands and `idChanged` says so. Throws when the clock cannot be read.
struct BootObservation {
  BootReading reading;
  bool idChanged = false;
};
BootObservation observeBoot(const BootClock& clock, const std::string& startBootId);

// Whether `hold` was written during the boot of `reading`: the same id, and a boot clock
// not smaller than the one the hold was written at.
bool sameBoot(const BlockHold& hold, const BootReading& reading);

// Seconds the hold still holds the block at `reading` and wall instant `now`: on its own
// boot by the boot clock, after a reboot by its wall end (at most kLongestHold). Absent when
// there is no hold, or it has ended, or it is of another boot and has no wall end.
std::optional<double> remainingHold(const std::optional<BlockHold>& hold,
                                    const BootReading& reading, Instant now);

// Seconds `hold` still holds at `now`: as remainingHold with a reading of the boot clock,
// by its wall end alone (at most kLongestHold) without one. Absent once it has ended.
std::optional<double> remainingHoldOrWallEnd(const BlockHold& hold,
                                             const std::optional<BootReading>& reading,
                                             Instant now);

// Whether the hold keeps the block's configuration at `now`: it holds for longer than the two
// clocks' jitter, so a staged change waits for it.
bool holdsConfiguration(const std::optional<BlockHold>& hold, const BootReading& reading,
                        Instant now);

// The hold to keep after a pass at wall instant `now`. One from another boot carries over
// what its wall end still holds, or is dropped. While the schedule runs a block ending at
// `scheduledEnd`, that end moved to the boot clock becomes the hold unless the hold already
// lies later; a hold is never moved earlier, except to cap it at kLongestHold after the
// scheduled end (or after `now` outside a block). A hold the boot clock has reached outside a
// scheduled block is dropped. The wall end follows the boot clock's end, and a hold that
// changes is stamped with the reading.
std::optional<BlockHold> updatedHold(const std::optional<BlockHold>& hold,
                                     const BootReading& reading, Instant now,
                                     std::optional<Instant> scheduledEnd);

// When `policy`'s hold keeps a block past what the schedule demands at `now`: the wall
// instant at which the hold ends. Absent while the schedule's own block lasts as long (to
// within the clocks' jitter), or nothing holds.
std::optional<Instant> heldBeyondSchedule(const TamrinPolicy& policy, const BootReading& reading,
                                          Instant now, const Calendar& calendar);

// When the block that `policy` runs at `now` ends, its hold included (read with `reading`,
// when there is one); absent when it runs none.
std::optional<Instant> policyBlockEnd(const TamrinPolicy& policy,
                                      const std::optional<BootReading>& reading, Instant now,
                                      const Calendar& calendar);

}  // namespace tamrin
