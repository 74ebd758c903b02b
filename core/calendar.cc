#include "core/calendar.h"

#include <date/tz.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/time_zone.h"
#include "core/zone_lookup.h"

namespace tamrin {
namespace {

using std::chrono::seconds;
using Seconds = date::sys_seconds;
using LocalSeconds = date::local_seconds;

// Whole seconds of `t` (rounded down) and the fraction that remains.
Seconds wholeSeconds(Instant t) {
  return Seconds(seconds(static_cast<long long>(std::floor(t.unixSeconds()))));
}

Instant toInstant(Seconds s) {
  return Instant::fromUnixSeconds(static_cast<double>(s.time_since_epoch().count()));
}

}  // namespace

Calendar Calendar::current() {
  if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
    std::string_view name(tz);
    if (name.front() == ':') name.remove_prefix(1);
    try {
      return Calendar(locateZone(name));
    } catch (const std::exception&) {
      // Not a zone name (a POSIX rule string, say): fall back to the system zone.
    }
  }
  try {
    return Calendar(locateZone(systemZoneName()));
  } catch (const std::exception&) {
    return Calendar(locateZone("UTC"));
  }
}

Calendar Calendar::named(std::string_view zoneName) { return Calendar(locateZone(zoneName)); }

std::string_view Calendar::zoneName() const { return zone_->name(); }

namespace {

// The instant at which the local clock of `zone` reads `local`: the first existing instant
// after a gap for a skipped time, the first occurrence for a repeated one.
std::optional<Seconds> resolveLocal(const TimeZone* zone, LocalSeconds local) {
  const date::local_info info = zone->info(local);
  switch (info.result) {
    case date::local_info::unique:
    case date::local_info::ambiguous:
      return Seconds(local.time_since_epoch() - info.first.offset);
    case date::local_info::nonexistent:
      return info.first.end;
  }
  return std::nullopt;
}

LocalSeconds toLocal(const TimeZone* zone, Instant t) { return zone->toLocal(wholeSeconds(t)); }

}  // namespace

Calendar::HourMinute Calendar::hourAndMinute(Instant t) const {
  const LocalSeconds local = toLocal(zone_, t);
  const date::hh_mm_ss<seconds> time(local - date::floor<date::days>(local));
  return {static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count())};
}

int Calendar::weekday(Instant t) const {
  const date::weekday day(date::floor<date::days>(toLocal(zone_, t)));
  return static_cast<int>(day.c_encoding()) + 1;
}

Instant Calendar::startOfDay(Instant t) const {
  const auto day = date::floor<date::days>(toLocal(zone_, t));
  if (auto start = resolveLocal(zone_, LocalSeconds(day))) return toInstant(*start);
  return toInstant(wholeSeconds(t));
}

std::optional<Instant> Calendar::dateByAddingDays(int days, Instant t) const {
  const double fraction = t.unixSeconds() - std::floor(t.unixSeconds());
  const LocalSeconds local = toLocal(zone_, t) + date::days(days);
  if (auto resolved = resolveLocal(zone_, local)) return toInstant(*resolved) + fraction;
  return std::nullopt;
}

std::optional<Instant> Calendar::nextDate(Instant after, int hour, int minute) const {
  const auto firstDay = date::floor<date::days>(toLocal(zone_, after));
  // The wanted time lies on the day of `after` or one of the next three days (two when a
  // transition moves the wanted time around midnight, three when a whole day is skipped).
  for (int offset = 0; offset <= 3; ++offset) {
    const auto day = firstDay + date::days(offset);
    const LocalSeconds local =
        LocalSeconds(day) + std::chrono::hours(hour) + std::chrono::minutes(minute);
    const date::local_info info = zone_->info(local);
    std::vector<Seconds> candidates;
    switch (info.result) {
      case date::local_info::unique:
        candidates = {Seconds(local.time_since_epoch() - info.first.offset)};
        break;
      case date::local_info::ambiguous:  // both occurrences, the earlier first
        candidates = {Seconds(local.time_since_epoch() - info.first.offset),
                      Seconds(local.time_since_epoch() - info.second.offset)};
        break;
      case date::local_info::nonexistent: {
        // A day the zone skips entirely has no such time: go on to the next day.
        const auto gapStart = LocalSeconds((info.first.end + info.first.offset).time_since_epoch());
        const auto gapEnd = LocalSeconds((info.first.end + info.second.offset).time_since_epoch());
        if (gapStart <= LocalSeconds(day) && gapEnd >= LocalSeconds(day + date::days(1))) continue;
        candidates = {info.first.end};
        break;
      }
    }
    for (const Seconds candidate : candidates) {
      if (toInstant(candidate) > after) return toInstant(candidate);
    }
  }
  return std::nullopt;
}

std::optional<Instant> Calendar::dateBySettingTime(int hour, int minute, int second,
                                                   Instant t) const {
  const auto day = date::floor<date::days>(toLocal(zone_, t));
  const LocalSeconds local =
      LocalSeconds(day) + std::chrono::hours(hour) + std::chrono::minutes(minute) + seconds(second);
  if (auto resolved = resolveLocal(zone_, local)) return toInstant(*resolved);
  return std::nullopt;
}

}  // namespace tamrin
