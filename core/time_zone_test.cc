#include "core/time_zone.h"

#include <date/tz.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/file_io.h"
#include "core/zone_lookup.h"

// Each zone read from its own file must answer exactly as the zone of the whole database that
// date::locate_zone builds (the calendar's former source), instant by instant.

namespace tamrin {
namespace {

using date::local_seconds;
using date::sys_seconds;
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

sys_seconds at(int year, unsigned month, unsigned day) {
  return date::sys_days(date::year{year} / month / day);
}

long long count(sys_seconds t) { return t.time_since_epoch().count(); }

// Fails with `where` unless both ranges agree in every field.
void expectSameRange(const date::sys_info& expected, const date::sys_info& actual,
                     const std::string& where) {
  EXPECT_EQ(count(actual.begin), count(expected.begin)) << where;
  EXPECT_EQ(count(actual.end), count(expected.end)) << where;
  EXPECT_EQ(actual.offset.count(), expected.offset.count()) << where;
  EXPECT_EQ(actual.save.count(), expected.save.count()) << where;
  EXPECT_EQ(actual.abbrev, expected.abbrev) << where;
}

// Compares `zone` with `reference` at every change of `reference` between `from` and `to`:
// just before, at and after it, and at local times every 15 minutes from two hours before the
// change (on the earlier clock) to two hours after it (on the later one), which walks through
// every gap and overlap; then at a few instants from the distant past to the distant future.
// Returns how many changes it looked at.
int expectSameAnswers(const date::time_zone& reference, const TimeZone& zone, sys_seconds from,
                      sys_seconds to) {
  std::vector<sys_seconds> instants = {at(1000, 1, 1),  at(1800, 6, 1), at(2038, 1, 19),
                                       at(2050, 7, 1),  at(2100, 1, 1), at(2500, 12, 31),
                                       at(9999, 12, 31)};
  std::vector<local_seconds> locals;
  int changes = 0;
  for (sys_seconds t = from; t < to;) {
    const date::sys_info range = reference.get_info(t);
    if (range.end >= to) break;
    ++changes;
    const seconds before = range.offset;
    const seconds after = reference.get_info(range.end).offset;
    for (const seconds d : {seconds(-1), seconds(0), seconds(1)}) instants.push_back(range.end + d);
    const local_seconds first(range.end.time_since_epoch() + std::min(before, after) - hours(2));
    const local_seconds last(range.end.time_since_epoch() + std::max(before, after) + hours(2));
    for (local_seconds l = first; l <= last; l += minutes(15)) locals.push_back(l);
    for (const seconds clock : {before, after}) {
      for (const seconds d : {seconds(-1), seconds(0), seconds(1)}) {
        locals.push_back(local_seconds(range.end.time_since_epoch() + clock + d));
      }
    }
    t = range.end;
  }
  for (const sys_seconds t : instants) {
    const std::string where = zone.name() + " at " + std::to_string(count(t));
    expectSameRange(reference.get_info(t), zone.info(t), where);
    EXPECT_EQ(reference.to_local(t).time_since_epoch().count(),
              zone.toLocal(t).time_since_epoch().count())
        << where;
  }
  for (const local_seconds l : locals) {
    const std::string where =
        zone.name() + " at local " + std::to_string(l.time_since_epoch().count());
    const date::local_info expected = reference.get_info(l);
    const date::local_info actual = zone.info(l);
    EXPECT_EQ(actual.result, expected.result) << where;
    if (actual.result != expected.result) continue;
    expectSameRange(expected.first, actual.first, where + " (first)");
    if (expected.result != date::local_info::unique) {
      expectSameRange(expected.second, actual.second, where + " (second)");
    }
  }
  return changes;
}

TEST(TimeZoneTest, AnswersAsTheWholeDatabaseDoes) {
  const struct {
    const char* zone;
    const char* why;
    int someChanges;  // at least this many changes since 1900
  } cases[] = {
      {"Europe/Berlin", "northern daylight time", 100},
      {"America/New_York", "northern daylight time", 200},
      {"US/Eastern", "a link, read under its own name", 200},
      {"Australia/Sydney", "southern hemisphere", 100},
      {"America/Santiago", "southern, its gap at midnight", 100},
      {"Pacific/Apia", "skipped a whole day (2011-12-30)", 5},
      {"Australia/Lord_Howe", "half-hour daylight saving", 50},
      {"Europe/Dublin", "negative daylight saving in the file", 100},
      {"Africa/Casablanca", "daylight time suspended for Ramadan", 50},
      {"Antarctica/Troll", "two-hour daylight saving", 50},
      {"Asia/Kolkata", "half-hour offset, no daylight time", 3},
      {"America/Sao_Paulo", "daylight time abolished in 2019", 50},
      {"Pacific/Kiritimati", "+14, changed its date line side", 1},
      {"Etc/GMT+5", "fixed offset, POSIX sign", 0},
      {"UTC", "a link to Etc/UTC", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + ": " + c.why);
    const TimeZone* zone = locateZone(c.zone);
    ASSERT_NE(zone, nullptr);
    EXPECT_EQ(zone->name(), c.zone);
    const int changes =
        expectSameAnswers(*date::locate_zone(c.zone), *zone, at(1900, 1, 1), at(2045, 1, 1));
    EXPECT_GE(changes, c.someChanges);
  }
}

TEST(TimeZoneTest, EveryZoneOfTheDatabaseLoadsAndAgreesSince1970) {
  int zones = 0;
  for (const date::time_zone& reference : date::get_tzdb().zones) {
    SCOPED_TRACE(reference.name());
    const TimeZone zone = loadZone(zoneDirectory(), reference.name());
    EXPECT_EQ(zone.name(), reference.name());
    expectSameAnswers(reference, zone, at(1970, 1, 1), at(2040, 1, 1));
    ++zones;
    if (::testing::Test::HasFailure()) break;  // one zone's report is enough
  }
  EXPECT_GT(zones, 300);
}

// A TZif file of `version` ('\0' or '2') with one type per entry of `types` (offset, daylight
// time, abbreviation) and `transitions` (instant, type index); a version 2 file carries the
// data in its 64-bit block only.
std::string zoneFile(char version, const std::vector<std::tuple<int, bool, std::string>>& types,
                     const std::vector<std::pair<long long, int>>& transitions) {
  const auto big = [](long long value, int width) {
    std::string bytes;
    for (int i = width - 1; i >= 0; --i) bytes += static_cast<char>((value >> (8 * i)) & 0xff);
    return bytes;
  };
  std::string characters;
  std::string data;
  const int width = version == '\0' ? 4 : 8;
  for (const auto& [at, type] : transitions) data += big(at, width);
  for (const auto& [at, type] : transitions) data += static_cast<char>(type);
  for (const auto& [offset, dst, abbreviation] : types) {
    data += big(offset, 4) + static_cast<char>(dst) + static_cast<char>(characters.size());
    characters += abbreviation + '\0';
  }
  const auto header = [&](std::size_t times, std::size_t kinds, std::size_t chars) {
    return "TZif" + std::string(1, version) + std::string(15, '\0') + big(0, 4) + big(0, 4) +
           big(0, 4) + big(static_cast<long long>(times), 4) +
           big(static_cast<long long>(kinds), 4) + big(static_cast<long long>(chars), 4);
  };
  const std::string full =
      header(transitions.size(), types.size(), characters.size()) + data + characters;
  if (version == '\0') return full;
  return header(0, 0, 0) + full + "\n\n";
}

TEST(TimeZoneTest, ReadsVersionOneFilesAndTheRulesOfTheFormerReader) {
  const std::vector<std::tuple<int, bool, std::string>> types = {{3600, true, "XDT"},
                                                                 {0, false, "XST"}};
  const TimeZone v1 = TimeZone::parse(
      "X/One", zoneFile('\0', types, {{1000000000, 0}, {1005000000, 0}, {1010000000, 1}}));
  // Before the first transition the first standard type holds, from the earliest day on.
  const date::sys_info early = v1.info(sys_seconds(seconds(999999999)));
  EXPECT_EQ(early.abbrev, "XST");
  EXPECT_EQ(early.begin, date::sys_days(date::year::min() / date::January / 1));
  EXPECT_EQ(count(early.end), 1000000000);
  // A transition to the same type is no boundary; daylight time reads as one minute saved.
  const date::sys_info summer = v1.info(sys_seconds(seconds(1000000000)));
  EXPECT_EQ(summer.abbrev, "XDT");
  EXPECT_EQ(summer.offset, seconds(3600));
  EXPECT_EQ(summer.save, minutes(1));
  EXPECT_EQ(count(summer.end), 1010000000);
  // After the last transition its type holds for ever.
  EXPECT_EQ(v1.info(at(3000, 1, 1)).abbrev, "XST");
  EXPECT_EQ(v1.info(at(3000, 1, 1)).end, date::sys_days(date::year::max() / date::December / 31));

  // A 64-bit transition before the earliest day starts the first range at that day.
  const TimeZone v2 =
      TimeZone::parse("X/Two", zoneFile('2', types, {{-(1LL << 59), 0}, {1000000000, 1}}));
  EXPECT_EQ(v2.info(at(1000, 1, 1)).abbrev, "XDT");
  EXPECT_EQ(v2.info(at(1000, 1, 1)).begin, date::sys_days(date::year::min() / date::January / 1));
  EXPECT_EQ(v2.info(sys_seconds(seconds(1000000000))).abbrev, "XST");
  EXPECT_THROW(TimeZone::parse("X/Bad", zoneFile('2', types, {{1000000000, 2}})),
               std::runtime_error);  // a type index past the types
}

TEST(TimeZoneTest, RefusesBytesThatAreNoWholeZoneFile) {
  const std::string utc = readFile(zoneDirectory() / "Etc/UTC");
  EXPECT_NO_THROW(TimeZone::parse("Etc/UTC", utc));
  // The same zone with leap seconds counted in its instants: not what the calendar reads.
  EXPECT_THROW(TimeZone::parse("right/UTC", readFile(zoneDirectory() / "right/UTC")),
               std::runtime_error);
  EXPECT_THROW(TimeZone::parse("x", ""), std::runtime_error);
  EXPECT_THROW(TimeZone::parse("x", "# a text file\n"), std::runtime_error);
  for (std::size_t length = 0; length < utc.size(); length += 7) {
    // Any cut inside the data is noticed (the trailing footer line is not read).
    if (length < utc.rfind('\n', utc.size() - 2)) {
      EXPECT_THROW(TimeZone::parse("x", utc.substr(0, length)), std::runtime_error) << length;
    }
  }
}

}  // namespace
}  // namespace tamrin
