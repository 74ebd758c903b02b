#include "core/week_coverage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/configurations.h"

namespace tamrin {
namespace {

// 24 windows of one hour each, every day; the last one runs to midnight.
std::vector<FocusWindow> hourly() {
  std::vector<FocusWindow> windows;
  for (std::int64_t hour = 0; hour < 24; ++hour)
    windows.push_back({hour * 60, (hour + 1) * 60 % 1440});
  return windows;
}

// 20:00 on `weekday` to 03:10 the next morning, for each given weekday.
std::vector<FocusWindow> nights(std::vector<std::int64_t> weekdays) {
  std::vector<FocusWindow> windows;
  for (std::int64_t weekday : weekdays) windows.push_back({1200, 190, {{weekday}}});
  return windows;
}

std::vector<FocusWindow> plus(std::vector<FocusWindow> windows,
                              const std::vector<FocusWindow>& more) {
  windows.insert(windows.end(), more.begin(), more.end());
  return windows;
}

TEST(WeekCoverageTest, SchedulesThatLeaveNoFreeMinuteAreRefused) {
  struct Case {
    const char* name;
    std::vector<FocusWindow> windows;
    bool endless;
  } const cases[] = {
      {"two windows, 00:00-12:00 and 12:00-00:00", {{0, 720}, {720, 0}}, true},
      {"overlapping day and night", {{360, 1200}, {1140, 420}}, true},
      {"many windows, one an hour", hourly(), true},
      {"two overnight windows", {{1200, 700}, {600, 100}}, true},
      {"overnight chain over all days", plus(nights({1, 2, 3, 4, 5, 6, 7}), {{190, 1200}}), true},
      {"Saturday night by itself",
       plus(nights({7}), {{190, 1200}, {1200, 190, {{1, 2, 3, 4, 5, 6}}}}), true},
      {"one free minute, Saturday 23:59",
       {{0, 720}, {720, 0, {{1, 2, 3, 4, 5, 6}}}, {720, 1439, {{7}}}},
       false},
      {"a free minute after each night", plus(nights({1, 2, 3, 4, 5, 6, 7}), {{191, 1200}}), false},
      {"chain with Saturday night missing", plus(nights({1, 2, 3, 4, 5, 6}), {{190, 1200}}), false},
      {"a free minute every day", {{0, 720}, {720, 1439}}, false},
      {"one window", {{1, 0}}, false},
      {"an invalid window among covering ones", {{0, 720}, {720, 0}, {5, 5}}, false},
  };
  for (const auto& c : cases) {
    const TamrinConfiguration configuration = testing::windows(c.windows);
    EXPECT_EQ(blocksEveryMinute(configuration), c.endless) << c.name;
    if (c.endless) {
      EXPECT_FALSE(configuration.isValid()) << c.name;
      EXPECT_THROW(requireScheduleThatEnds(configuration), EndlessScheduleError) << c.name;
    } else {
      EXPECT_NO_THROW(requireScheduleThatEnds(configuration)) << c.name;
    }
  }
  // The single-window form always leaves a minute free: at most 23 h 59 min in a row.
  EXPECT_FALSE(blocksEveryMinute(testing::window(1, 0)));
  EXPECT_STREQ(EndlessScheduleError().what(), kEndlessScheduleMessage);
}

}  // namespace
}  // namespace tamrin
