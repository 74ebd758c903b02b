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

// The first instant after `after` at which the clock reads the given minute of day.
std::optional<Instant> nextTimeAfter(Instant after, std::int64_t minutes,
                                     const Calendar& calendar) {
  return calendar.nextDate(after, static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
}

// The start of the local day before the one starting at `today`; a day the zone skipped
// entirely is passed over.
std::optional<Instant> previousDay(Instant today, const Calendar& calendar) {
  for (int days = 1; days <= 2; ++days) {
    const auto day = calendar.dateByAddingDays(-days, today);
    if (day && *day < today) return calendar.startOfDay(*day);
  }
  return std::nullopt;
}

// The access instant that closes a window of `configuration` opened at `blockStart`, strictly
// after `after` (at or after `blockStart`): in a repeated hour the first occurrence of the
// access time may already lie behind, and then its next occurrence closes the window.
Instant accessAfterBlockStart(Instant blockStart, Instant after,
                              const TamrinConfiguration& configuration, const Calendar& calendar) {
  const int days = configuration.isOvernight() ? 1 : 0;
  const auto day = calendar.dateByAddingDays(days, blockStart);
  if (!day) return Instant::distantFuture();
  const auto access = timeOnDay(*day, configuration.accessStartMinutes, calendar);
  if (!access) return Instant::distantFuture();
  if (*access > after) return *access;
  return nextTimeAfter(after, configuration.accessStartMinutes, calendar)
      .value_or(Instant::distantFuture());
}

// The focus instant of the local day starting at `dayStart` that lies after `after` (or at it,
// when `including`): the first occurrence of the focus time, or else, in a repeated hour, its
// second occurrence on that same day.
std::optional<Instant> focusOnDayAfter(Instant dayStart, Instant after, bool including,
                                       const TamrinConfiguration& configuration,
                                       const Calendar& calendar) {
  const auto focus = configuration.focusStartMinutes;
  const auto first = timeOnDay(dayStart, focus, calendar);
  if (!first) return std::nullopt;
  if (*first > after || (including && *first == after)) return first;
  if (including) {
    if (const auto at = nextTimeAfter(after - 1.0, focus, calendar); at && *at == after) return at;
  }
  const auto later = nextTimeAfter(after, focus, calendar);
  if (later && calendar.startOfDay(*later) == dayStart) return later;
  return std::nullopt;
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
  const auto yesterday = previousDay(today, calendar);
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
  // Eight days, today included: the eighth has today's weekday again. A skipped local day
  // makes two additions land on the same day; that one counts once.
  std::optional<Instant> previous;
  for (int k = 0, probes = 0; probes < 8 && k <= 8; ++k) {
    const auto day = calendar.dateByAddingDays(k, firstDay);
    if (!day) continue;
    const Instant dayStart = calendar.startOfDay(*day);
    if (dayStart == previous) continue;
    previous = dayStart;
    ++probes;
    if (!isActiveDay(dayStart, configuration, calendar)) continue;
    if (const auto start =
            focusOnDayAfter(dayStart, after, includingDate, configuration, calendar)) {
      return *start;
    }
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
      return accessAfterBlockStart(*blockStart, after, *governing, calendar);
    }
  }
  const Instant next = nextScheduledBlockStart(after, calendar);
  const TamrinConfiguration* nextGoverning = scheduledConfiguration(next);
  return accessAfterBlockStart(next, next, nextGoverning ? *nextGoverning : configuration,
                               calendar);
}

Instant TamrinPolicy::nextEnforcementTransition(Instant after, const Calendar& calendar) const {
  if (isBlocked(after, calendar)) return nextScheduledAccessStart(after, calendar);
  return nextScheduledBlockStart(after, calendar);
}

}  // namespace tamrin
