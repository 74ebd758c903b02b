#pragma once

#include <optional>

#include "core/calendar.h"
#include "core/instant.h"
#include "core/policy.h"

namespace tamrin {

// The rules that say when the reconciliation timer wakes. Pure: every instant is handed in.

// No two passes are further apart than this, in seconds...
inline constexpr double kLongestWait = 60.0;
// ...nor, asked for by the timer, closer.
inline constexpr double kShortestWait = 0.1;

// The earlier of the policy's next enforcement transition and `after` + kLongestWait.
Instant nextReconciliationDate(const std::optional<TamrinPolicy>& policy, Instant after,
                               const Calendar& calendar);

// When the pass after the one at `after` is due: at `scheduled` (nextReconciliationDate), or
// when a hold ends (`holdEnds`, which no schedule transition marks) if that is earlier; at
// once when the pass at `after` enforced only for a hold that has ended since.
Instant nextPassDate(Instant scheduled, std::optional<Instant> holdEnds, bool lastPassHeldOnly,
                     Instant after);

// When the timer must wake after `after` for the next address refresh during a block
// (`blocking`): when it is due (`nextRefresh`), at once when none ran yet. Absent outside a
// block.
std::optional<Instant> addressRefreshWake(bool blocking, std::optional<Instant> nextRefresh,
                                          Instant after);

// Whether a wake at `at` came only for a due refresh: before the next pass (`nextPass`), with
// the refresh due at `refreshWake` reached.
bool isRefreshOnlyWake(Instant at, std::optional<Instant> nextPass,
                       std::optional<Instant> refreshWake);

// Seconds from `after` until the timer wakes: the earlier of the next pass and the next
// refresh, at least kShortestWait.
double timerWait(Instant after, Instant nextPass, std::optional<Instant> refreshWake);

// Whether the pass at `at` leaves its system lookups to the next one, due at `nextPass`: a
// lookup takes up to the system resolver's limit, and must not hold up that pass (a block's
// start); the next pass plans them again if they are still wanted.
bool leavesLookupsToNextPass(Instant at, std::optional<Instant> nextPass);

}  // namespace tamrin
