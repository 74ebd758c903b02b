#include "daemon/service/pass_timing.h"

#include <algorithm>

namespace tamrin {
namespace {

// A pass looks addresses up only when its successor is at least this far away.
constexpr double kLookupHeadroom = 5.0;

}  // namespace

Instant nextReconciliationDate(const std::optional<TamrinPolicy>& policy, Instant after,
                               const Calendar& calendar) {
  const Instant fallback = after + kLongestWait;
  const Instant candidate =
      policy ? policy->nextEnforcementTransition(after, calendar) : Instant::distantFuture();
  return candidate < fallback ? candidate : fallback;
}

Instant nextPassDate(Instant scheduled, std::optional<Instant> holdEnds, bool lastPassHeldOnly,
                     Instant after) {
  Instant next = scheduled;
  if (holdEnds) next = std::min(next, *holdEnds);
  if (lastPassHeldOnly && !holdEnds) next = std::min(next, after);
  return next;
}

std::optional<Instant> addressRefreshWake(bool blocking, std::optional<Instant> nextRefresh,
                                          Instant after) {
  if (!blocking) return std::nullopt;
  return std::max(nextRefresh.value_or(after), after);
}

bool isRefreshOnlyWake(Instant at, std::optional<Instant> nextPass,
                       std::optional<Instant> refreshWake) {
  return nextPass && at < *nextPass && refreshWake && !(at < *refreshWake);
}

double timerWait(Instant after, Instant nextPass, std::optional<Instant> refreshWake) {
  const Instant next = refreshWake && *refreshWake < nextPass ? *refreshWake : nextPass;
  return std::max(next - after, kShortestWait);
}

bool leavesLookupsToNextPass(Instant at, std::optional<Instant> nextPass) {
  return nextPass && *nextPass - at < kLookupHeadroom;
}

}  // namespace tamrin
