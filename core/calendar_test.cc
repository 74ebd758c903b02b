#include "core/calendar.h"

#include <date/tz.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/support/local_time.h"

namespace tamrin {
namespace {

using testing::localInstant;
using testing::utcInstant;

TEST(CalendarTest, ReadsHourMinuteAndWeekdayInTheZone) {
  const Calendar berlin = Calendar::named("Europe/Berlin");
  // 2026-03-02 is a Monday; 23:30 UTC is already Tuesday 00:30 in Berlin.
  const Instant t = utcInstant(2026, 3, 2, 23, 30, 59);
  EXPECT_EQ(berlin.hourAndMinute(t).hour, 0);
  EXPECT_EQ(berlin.hourAndMinute(t).minute, 30);
  EXPECT_EQ(berlin.weekday(t), 3);
  EXPECT_EQ(Calendar::named("UTC").weekday(t), 2);
  EXPECT_EQ(Calendar::named("UTC").weekday(utcInstant(2026, 3, 1, 12, 0)), 1);
  EXPECT_EQ(Calendar::named("UTC").weekday(utcInstant(2026, 3, 7, 12, 0)), 7);
}

TEST(CalendarTest, StartOfDayIsLocalMidnight) {
  const Calendar ny = Calendar::named("America/New_York");
  EXPECT_EQ(ny.startOfDay(localInstant("America/New_York", 2026, 3, 8, 15, 0)),
            localInstant("America/New_York", 2026, 3, 8, 0, 0));
  // A fraction of a second keeps the instant on its day.
  const Instant midnight = localInstant("America/New_York", 2026, 3, 9, 0, 0);
  EXPECT_EQ(ny.startOfDay(midnight + 0.5), midnight);
  EXPECT_EQ(ny.startOfDay(midnight - 0.5), localInstant("America/New_York", 2026, 3, 8, 0, 0));
}

TEST(CalendarTest, StartOfDayAfterAMidnightGapIsTheFirstExistingInstant) {
  // Santiago moved its clocks from 00:00 to 01:00 on 2026-09-06.
  const Calendar santiago = Calendar::named("America/Santiago");
  const Instant noon = localInstant("America/Santiago", 2026, 9, 6, 12, 0);
  EXPECT_EQ(santiago.startOfDay(noon), localInstant("America/Santiago", 2026, 9, 6, 1, 0));
}

TEST(CalendarTest, AddingDaysKeepsWallClockTimeAcrossTransitions) {
  const Calendar ny = Calendar::named("America/New_York");
  const Instant before = localInstant("America/New_York", 2026, 3, 7, 9, 15);
  EXPECT_EQ(*ny.dateByAddingDays(1, before), localInstant("America/New_York", 2026, 3, 8, 9, 15));
  EXPECT_EQ(*ny.dateByAddingDays(1, before) - before, 23 * 3600.0);
  EXPECT_EQ(*ny.dateByAddingDays(-1, before), localInstant("America/New_York", 2026, 3, 6, 9, 15));
  EXPECT_EQ(*ny.dateByAddingDays(7, before), localInstant("America/New_York", 2026, 3, 14, 9, 15));
}

TEST(CalendarTest, NextDateFindsSkippedAndRepeatedTimes) {
  const Calendar ny = Calendar::named("America/New_York");
  // 02:30 does not exist on 2026-03-08: the first instant after the gap, 03:00 EDT.
  const Instant springDay = localInstant("America/New_York", 2026, 3, 8, 0, 0);
  EXPECT_EQ(*ny.nextDate(springDay - 1.0, 2, 30), utcInstant(2026, 3, 8, 7, 0));
  // 01:30 happens twice on 2026-11-01: the first occurrence, 01:30 EDT.
  const Instant fallDay = localInstant("America/New_York", 2026, 11, 1, 0, 0);
  EXPECT_EQ(*ny.nextDate(fallDay - 1.0, 1, 30), utcInstant(2026, 11, 1, 5, 30));
  // ... and after the first occurrence, the second one, 01:30 EST.
  EXPECT_EQ(*ny.nextDate(utcInstant(2026, 11, 1, 5, 30), 1, 30), utcInstant(2026, 11, 1, 6, 30));
  // Apia skipped 2011-12-30 entirely: after Thursday 23:00 the next 11:00 is Saturday's.
  const Calendar apia = Calendar::named("Pacific/Apia");
  EXPECT_EQ(*apia.nextDate(utcInstant(2011, 12, 30, 9, 0), 11, 0), utcInstant(2011, 12, 30, 21, 0));
  // Midnight searched from one second before it is that midnight.
  EXPECT_EQ(*ny.nextDate(fallDay - 1.0, 0, 0), fallDay);
  // Strictly after: asking at the time itself gives the next day's.
  const Instant nine = localInstant("America/New_York", 2026, 3, 2, 9, 0);
  EXPECT_EQ(*ny.nextDate(nine, 9, 0), localInstant("America/New_York", 2026, 3, 3, 9, 0));
}

TEST(CalendarTest, CurrentHonoursTZWithOrWithoutColon) {
  const char* saved = std::getenv("TZ");
  const std::string previous = saved ? saved : "";
  setenv("TZ", ":Asia/Tokyo", 1);
  EXPECT_EQ(Calendar::current().zoneName(), "Asia/Tokyo");
  setenv("TZ", "Europe/Lisbon", 1);
  EXPECT_EQ(Calendar::current().zoneName(), "Europe/Lisbon");
  if (saved) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  EXPECT_THROW(Calendar::named("Not/AZone"), std::runtime_error);
}

// Every form of TZ names the zone it named when the calendar looked zones up in the whole
// database: a zone or link name, else (a POSIX rule, a path, nonsense) the system zone.
TEST(CalendarTest, CurrentReadsTZAsTheWholeDatabaseDid) {
  const char* saved = std::getenv("TZ");
  const std::string previous = saved ? saved : "";
  const auto formerZone = [](const std::string& tz) -> std::string {
    std::string_view name(tz);
    if (!name.empty() && name.front() == ':') name.remove_prefix(1);
    if (!tz.empty()) {
      try {
        return date::locate_zone(name)->name();
      } catch (const std::exception&) {
      }
    }
    try {
      return date::current_zone()->name();
    } catch (const std::exception&) {
      return date::locate_zone("UTC")->name();
    }
  };
  for (const std::string tz : {"US/Eastern", ":Etc/GMT+5", "UTC", "EST5EDT,M3.2.0,M11.1.0",
                               ":/usr/share/zoneinfo/Europe/Berlin", "Not/AZone", ":", "",
                               "posixrules", "right/UTC", "localtime"}) {
    setenv("TZ", tz.c_str(), 1);
    EXPECT_EQ(Calendar::current().zoneName(), formerZone(tz)) << "TZ=" << tz;
  }
  unsetenv("TZ");
  EXPECT_EQ(Calendar::current().zoneName(), formerZone(""));
  if (saved) setenv("TZ", previous.c_str(), 1);
}

}  // namespace
}  // namespace tamrin
