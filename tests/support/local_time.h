#pragma once

#include <date/tz.h>

#include <string_view>

#include "core/calendar.h"
#include "core/instant.h"

namespace tamrin::testing {

// The instant at which the clock of `zone` reads the given local time (the earlier one of a
// repeated time). Throws for a time the zone skips, so a test never asks for one by mistake.
inline Instant localInstant(std::string_view zone, int year, int month, int day, int hour,
                            int minute, int second = 0) {
  const date::local_seconds local = date::local_days{date::year{year} / month / day} +
                                    std::chrono::hours(hour) + std::chrono::minutes(minute) +
                                    std::chrono::seconds(second);
  const auto sys = date::locate_zone(zone)->to_sys(local, date::choose::earliest);
  return Instant::fromUnixSeconds(static_cast<double>(sys.time_since_epoch().count()));
}

// The instant of a UTC date and time.
inline Instant utcInstant(int year, int month, int day, int hour, int minute, int second = 0) {
  return localInstant("UTC", year, month, day, hour, minute, second);
}

}  // namespace tamrin::testing
