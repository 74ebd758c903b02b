// The schedule rules of the policy: which configuration governs an instant, whether a block
// window contains it, and when the next block begins or ends. All are pure functions of the
// policy, the instant and the calendar.
#include "core/policy.h"

namespace tamrin {
namespace {

int minuteOfDay(Instant t, const Calendar& calendar) {
  const auto time = calendar.hourAndMinute(t);
  return time.hour * 60 + time.minute;
}

bool isActiveDay(Instant dayStart, const TamrinConfiguration& configuration,
                 const Calendar& calendar) {
  return configuration.scheduledWeekdays().contains(calendar.weekday(dayStart));
}

// The instant on the local day of `day` at which the clock reads the given minute of day.
std::optional<Instant> timeOnDay(Instant day, std::int64_t minutes, const Calendar& calendar) {
  const Instant dayStart = calendar.startOfDay(day);
  return calendar.nextDate(dayStart - 1.0, static_cast<int>(minutes / 60),
                           static_cast<int>(minutes % 60));
}

// The access instant that closes a window of `configuration` opened at `blockStart`.
Instant accessAfterBlockStart(Instant blockStart, const TamrinConfiguration& configuration,
                              const Calendar& calendar) {
  const int days = configuration.isOvernight() ? 1 : 0;
  const auto day = calendar.dateByAddingDays(days, blockStart);
  if (!day) return Instant::distantFuture();
  return timeOnDay(*day, configuration.accessStartMinutes, calendar)
      .value_or(Instant::distantFuture());
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
  const int minute = minuteOfDay(at, calendar);
  const Instant today = calendar.startOfDay(at);
  const bool todayActive = isActiveDay(today, configuration, calendar);
  const auto focus = configuration.focusStartMinutes;
  const auto access = configuration.accessStartMinutes;
  if (!configuration.isOvernight()) {
    if (todayActive && focus <= minute && minute < access) {
      return timeOnDay(today, focus, calendar);
    }
    return std::nullopt;
  }
  if (todayActive && minute >= focus) return timeOnDay(today, focus, calendar);
  if (minute >= access) return std::nullopt;
  // The early-morning part of a window that opened the day before.
  const auto yesterday = calendar.dateByAddingDays(-1, today);
  if (!yesterday || !isActiveDay(*yesterday, configuration, calendar)) return std::nullopt;
  return timeOnDay(*yesterday, focus, calendar);
}

bool TamrinPolicy::isBlocked(Instant at, const Calendar& calendar) const {
  const TamrinConfiguration* governing = scheduledConfiguration(at);
  return governing != nullptr && scheduledBlockStart(at, *governing, calendar).has_value();
}

Instant TamrinPolicy::nextScheduledBlockStart(Instant after,
                                              const TamrinConfiguration& configuration,
                                              bool includingDate, const Calendar& calendar) {
  const Instant firstDay = calendar.startOfDay(after);
  // Eight days, today included: the eighth has today's weekday again.
  for (int k = 0; k <= 7; ++k) {
    const auto day = calendar.dateByAddingDays(k, firstDay);
    if (!day || !isActiveDay(*day, configuration, calendar)) continue;
    const auto start = timeOnDay(*day, configuration.focusStartMinutes, calendar);
    if (start && (*start > after || (includingDate && *start == after))) return *start;
  }
  return Instant::distantFuture();
}

Instant TamrinPolicy::nextScheduledBlockStart(Instant after, const Calendar& calendar) const {
  if (!pendingConfiguration || !pendingConfigurationAppliesAt) {
    return nextScheduledBlockStart(after, configuration, false, calendar);
  }
  const Instant applies = *pendingConfigurationAppliesAt;
  if (!pendingConfigurationStopsEnforcingAt && after < applies) {
    return nextScheduledBlockStart(after, configuration, false, calendar);
  }
  // The staged configuration begins with a block at its start.
  if (after < applies) return applies;
  return nextScheduledBlockStart(after, *pendingConfiguration, false, calendar);
}

Instant TamrinPolicy::nextScheduledAccessStart(Instant after, const Calendar& calendar) const {
  if (const TamrinConfiguration* governing = scheduledConfiguration(after)) {
    if (const auto blockStart = scheduledBlockStart(after, *governing, calendar)) {
      return accessAfterBlockStart(*blockStart, *governing, calendar);
    }
  }
  const Instant next = nextScheduledBlockStart(after, calendar);
  const TamrinConfiguration* nextGoverning = scheduledConfiguration(next);
  return accessAfterBlockStart(next, nextGoverning ? *nextGoverning : configuration, calendar);
}

Instant TamrinPolicy::nextEnforcementTransition(Instant after, const Calendar& calendar) const {
  if (isBlocked(after, calendar)) return nextScheduledAccessStart(after, calendar);
  return nextScheduledBlockStart(after, calendar);
}

}  // namespace tamrin
