// The schedule rules of the policy: which configuration governs an instant, whether one of its
// windows contains it, and when the next block begins or ends. All are pure functions of the
// policy, the instant and the calendar; the rules of one configuration's windows are in
// core/window_union.
#include "core/policy.h"
#include "core/window_union.h"

namespace tamrin {
namespace {

// The next block start of `configuration` strictly after `after`: inside a running block, the
// first one after the block's end.
Instant nextBlockOpening(Instant after, const TamrinConfiguration& configuration,
                         const Calendar& calendar) {
  const auto end = runningBlockEnd(after, configuration, calendar);
  if (!end) return nextFocusStart(after, configuration, false, calendar);
  if (*end == Instant::distantFuture()) return *end;
  return nextFocusStart(*end, configuration, true, calendar);
}

}  // namespace

const TamrinConfiguration* TamrinPolicy::scheduledConfiguration(Instant at) const {
  if (pendingConfiguration) {
    if (pendingConfigurationAppliesAt && at >= *pendingConfigurationAppliesAt) {
      return &*pendingConfiguration;
    }
    if (pendingConfigurationStopsEnforcingAt && at >= *pendingConfigurationStopsEnforcingAt) {
      return nullptr;
    }
  }
  return &configuration;
}

std::optional<Instant> TamrinPolicy::scheduledBlockStart(Instant at,
                                                         const TamrinConfiguration& configuration,
                                                         const Calendar& calendar) {
  return runningBlockStart(at, configuration, calendar);
}

bool TamrinPolicy::isBlocked(Instant at, const Calendar& calendar) const {
  if (usesNamedBlocks()) return isBlockedByNamedBlocks(at, calendar);
  const TamrinConfiguration* governing = scheduledConfiguration(at);
  return governing != nullptr && isCovered(at, *governing, calendar);
}

Instant TamrinPolicy::nextScheduledBlockStart(Instant after,
                                              const TamrinConfiguration& configuration,
                                              bool includingDate, const Calendar& calendar) {
  return nextFocusStart(after, configuration, includingDate, calendar);
}

Instant TamrinPolicy::nextScheduledBlockStart(Instant after, const Calendar& calendar) const {
  if (usesNamedBlocks()) return nextNamedBlockStart(after, calendar);
  if (!pendingConfiguration || !pendingConfigurationAppliesAt) {
    return nextBlockOpening(after, configuration, calendar);
  }
  const Instant applies = *pendingConfigurationAppliesAt;
  if (!pendingConfigurationStopsEnforcingAt && after < applies) {
    return nextBlockOpening(after, configuration, calendar);
  }
  // The staged configuration begins with a block at its start.
  if (after < applies) return applies;
  return nextBlockOpening(after, *pendingConfiguration, calendar);
}

Instant TamrinPolicy::nextScheduledAccessStart(Instant after, const Calendar& calendar) const {
  if (usesNamedBlocks()) return nextNamedAccessStart(after, calendar);
  if (const TamrinConfiguration* governing = scheduledConfiguration(after)) {
    if (const auto end = runningBlockEnd(after, *governing, calendar)) return *end;
  }
  const Instant next = nextScheduledBlockStart(after, calendar);
  const TamrinConfiguration* nextGoverning = scheduledConfiguration(next);
  return blockEndFrom(next, nextGoverning ? *nextGoverning : configuration, calendar);
}

Instant TamrinPolicy::nextEnforcementTransition(Instant after, const Calendar& calendar) const {
  if (usesNamedBlocks()) return nextNamedBlocksTransition(after, calendar);
  if (isBlocked(after, calendar)) return nextScheduledAccessStart(after, calendar);
  return nextScheduledBlockStart(after, calendar);
}

}  // namespace tamrin
