#pragma once

#include <optional>
#include <string_view>

#include "core/instant.h"

namespace tamrin {

class TimeZone;

// The local calendar the schedule rules reason in: Gregorian, over one time zone. Callers
// take `Calendar::current()` at the time of each request or pass and hand it in; nothing in
// the core library looks the zone up by itself.
class Calendar {
 public:
  struct HourMinute {
    int hour = 0;
    int minute = 0;
  };

  // The zone named by TZ when it is set (a leading ':' ignored), else the system zone, else UTC.
  // Reads the zone's own file only (once per process), not the whole zone database.
  static Calendar current();
  // The named zone, e.g. "Europe/Berlin" or "US/Eastern". Throws std::runtime_error for an
  // unknown name.
  static Calendar named(std::string_view zoneName);

  std::string_view zoneName() const;

  // Local hour (0-23) and minute (0-59) of `t`.
  HourMinute hourAndMinute(Instant t) const;
  // Weekday of `t`: 1 = Sunday ... 7 = Saturday.
  int weekday(Instant t) const;
  // The first instant of the local day holding `t`.
  Instant startOfDay(Instant t) const;
  // The instant `days` local days after `t`, same wall-clock time; a skipped wall-clock time
  // moves to the first instant after the gap, a repeated one takes its first occurrence.
  std::optional<Instant> dateByAddingDays(int days, Instant t) const;
  // The first instant strictly after `after` whose local time is hour:minute:00: either
  // occurrence of a repeated time; a skipped time gives the first instant after its gap, but a
  // local day the zone skips entirely is passed over for the next existing one.
  std::optional<Instant> nextDate(Instant after, int hour, int minute) const;
  // The local day of `t` at hour:minute:second, with the same rules.
  std::optional<Instant> dateBySettingTime(int hour, int minute, int second, Instant t) const;

 private:
  explicit Calendar(const TimeZone* zone) : zone_(zone) {}
  const TimeZone* zone_;
};

}  // namespace tamrin
