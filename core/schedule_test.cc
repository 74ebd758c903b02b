#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/policy.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"

namespace tamrin {

// Reaches the private rules of the policy that the public ones are built on.
struct ScheduleProbe {
  static std::optional<Instant> blockStart(const TamrinPolicy& policy, Instant t,
                                           const Calendar& calendar) {
    return TamrinPolicy::scheduledBlockStart(t, policy.configuration, calendar);
  }
  static Instant nextStart(const TamrinPolicy& policy, Instant t, bool including,
                           const Calendar& calendar) {
    return TamrinPolicy::nextScheduledBlockStart(t, policy.configuration, including, calendar);
  }
};

namespace {

constexpr const char* kZone = "Europe/Berlin";

Instant at(int day, int hour, int minute, int second = 0) {
  // March 2026: the 1st is a Sunday, the 2nd a Monday.
  return testing::localInstant(kZone, 2026, 3, day, hour, minute, second);
}

TamrinPolicy policyWith(std::int64_t focus, std::int64_t access,
                        std::optional<std::vector<std::int64_t>> weekdays = std::nullopt) {
  return TamrinPolicy(testing::window(focus, access, {"example.com"}, std::move(weekdays)));
}

struct BlockCase {
  const char* name;
  std::int64_t focus, access;
  std::optional<std::vector<std::int64_t>> weekdays;
  Instant t;
  std::optional<Instant> blockStart;
};

TEST(ScheduleTest, BlockWindows) {
  const Calendar calendar = Calendar::named(kZone);
  const BlockCase cases[] = {
      {"same day, just before", 240, 1200, {}, at(2, 3, 59, 59), {}},
      {"same day, at focus", 240, 1200, {}, at(2, 4, 0), at(2, 4, 0)},
      {"same day, last second", 240, 1200, {}, at(2, 19, 59, 59), at(2, 4, 0)},
      {"same day, at access", 240, 1200, {}, at(2, 20, 0), {}},
      {"overnight, just before focus", 1320, 420, {}, at(2, 21, 59, 59), {}},
      {"overnight, at focus", 1320, 420, {}, at(2, 22, 0), at(2, 22, 0)},
      {"overnight, evening", 1320, 420, {}, at(2, 23, 0), at(2, 22, 0)},
      {"overnight, next morning", 1320, 420, {}, at(3, 6, 59), at(2, 22, 0)},
      {"overnight, at access", 1320, 420, {}, at(3, 7, 0), {}},
      {"overnight, noon", 1320, 420, {}, at(3, 12, 0), {}},
      // Monday only (2): Tuesday morning belongs to Monday's window whatever Tuesday is.
      {"overnight Monday only, Tuesday 06:00", 1320, 420, {{2}}, at(3, 6, 0), at(2, 22, 0)},
      {"overnight Monday only, Monday 06:00", 1320, 420, {{2}}, at(2, 6, 0), {}},
      {"overnight Monday only, Tuesday 23:00", 1320, 420, {{2}}, at(3, 23, 0), {}},
      // Saturday night (7) across the week boundary into Sunday morning.
      {"overnight Saturday only, Sunday 01:00", 1320, 420, {{7}}, at(8, 1, 0), at(7, 22, 0)},
      {"midnight focus", 0, 60, {}, at(2, 0, 0), at(2, 0, 0)},
      {"midnight focus, 00:59", 0, 60, {}, at(2, 0, 59, 59), at(2, 0, 0)},
      {"no weekday", 240, 1200, {{}}, at(2, 12, 0), {}},
  };
  for (const auto& c : cases) {
    const TamrinPolicy policy = policyWith(c.focus, c.access, c.weekdays);
    EXPECT_EQ(ScheduleProbe::blockStart(policy, c.t, calendar), c.blockStart) << c.name;
    EXPECT_EQ(policy.isBlocked(c.t, calendar), c.blockStart.has_value()) << c.name;
    EXPECT_EQ(policy.shouldEnforce(c.t, calendar), c.blockStart.has_value()) << c.name;
    EXPECT_EQ(policy.isScheduledAccess(c.t, calendar), !c.blockStart.has_value()) << c.name;
  }
}

struct TransitionCase {
  const char* name;
  std::int64_t focus, access;
  std::optional<std::vector<std::int64_t>> weekdays;
  Instant t;
  Instant nextBlockStart, nextAccessStart, nextTransition;
};

TEST(ScheduleTest, Transitions) {
  const Calendar calendar = Calendar::named(kZone);
  const TransitionCase cases[] = {
      {"same day, inside", 240, 1200, {}, at(2, 10, 0), at(3, 4, 0), at(2, 20, 0), at(2, 20, 0)},
      {"same day, evening", 240, 1200, {}, at(2, 21, 0), at(3, 4, 0), at(3, 20, 0), at(3, 4, 0)},
      {"same day, at access", 240, 1200, {}, at(2, 20, 0), at(3, 4, 0), at(3, 20, 0), at(3, 4, 0)},
      {"same day, at focus", 240, 1200, {}, at(2, 4, 0), at(3, 4, 0), at(2, 20, 0), at(2, 20, 0)},
      {"overnight, inside", 1320, 420, {}, at(2, 23, 0), at(3, 22, 0), at(3, 7, 0), at(3, 7, 0)},
      {"overnight, noon", 1320, 420, {}, at(2, 12, 0), at(2, 22, 0), at(3, 7, 0), at(2, 22, 0)},
      // Only Monday (2): just after Monday's focus the next start is seven days later.
      {"one weekday", 240, 1200, {{2}}, at(2, 4, 1), at(9, 4, 0), at(2, 20, 0), at(2, 20, 0)},
      {"one weekday, before",
       240,
       1200,
       {{2}},
       at(1, 12, 0),
       at(2, 4, 0),
       at(2, 20, 0),
       at(2, 4, 0)},
      {"midnight focus", 0, 60, {}, at(2, 0, 30), at(3, 0, 0), at(2, 1, 0), at(2, 1, 0)},
  };
  for (const auto& c : cases) {
    const TamrinPolicy policy = policyWith(c.focus, c.access, c.weekdays);
    EXPECT_EQ(policy.nextScheduledBlockStart(c.t, calendar), c.nextBlockStart) << c.name;
    EXPECT_EQ(policy.nextScheduledAccessStart(c.t, calendar), c.nextAccessStart) << c.name;
    EXPECT_EQ(policy.nextEnforcementTransition(c.t, calendar), c.nextTransition) << c.name;
  }
}

TEST(ScheduleTest, PrivateSearchIncludesTheGivenInstantOnlyWhenAsked) {
  const Calendar calendar = Calendar::named(kZone);
  const TamrinPolicy policy = policyWith(240, 1200);
  EXPECT_EQ(ScheduleProbe::nextStart(policy, at(2, 4, 0), true, calendar), at(2, 4, 0));
  EXPECT_EQ(ScheduleProbe::nextStart(policy, at(2, 4, 0), false, calendar), at(3, 4, 0));
}

TEST(ScheduleTest, NoActiveWeekdayNeverBlocks) {
  const Calendar calendar = Calendar::named(kZone);
  const TamrinPolicy policy = policyWith(240, 1200, std::vector<std::int64_t>{});
  EXPECT_EQ(policy.nextScheduledBlockStart(at(2, 12, 0), calendar), Instant::distantFuture());
  EXPECT_EQ(policy.nextEnforcementTransition(at(2, 12, 0), calendar), Instant::distantFuture());
  EXPECT_GT(policy.nextScheduledAccessStart(at(2, 12, 0), calendar), Instant::distantFuture());
}

TEST(ScheduleTest, SpringForwardOpensTheWindowAfterTheGap) {
  // 02:30 does not exist in New York on Sunday 2026-03-08 nor in Berlin on 2026-03-29.
  struct Case {
    const char* zone;
    int month, day;
    Instant opens;
  } const cases[] = {
      {"America/New_York", 3, 8, testing::utcInstant(2026, 3, 8, 7, 0)},
      {"Europe/Berlin", 3, 29, testing::utcInstant(2026, 3, 29, 1, 0)},
  };
  for (const auto& c : cases) {
    const Calendar calendar = Calendar::named(c.zone);
    const TamrinPolicy policy = policyWith(150, 600);
    const Instant dayBefore = testing::localInstant(c.zone, 2026, c.month, c.day - 1, 12, 0);
    EXPECT_EQ(policy.nextScheduledBlockStart(dayBefore, calendar), c.opens) << c.zone;
    const Instant afterGap = testing::localInstant(c.zone, 2026, c.month, c.day, 3, 10);
    EXPECT_TRUE(policy.isBlocked(afterGap, calendar)) << c.zone;
    EXPECT_EQ(ScheduleProbe::blockStart(policy, afterGap, calendar), c.opens) << c.zone;
    EXPECT_FALSE(policy.isBlocked(c.opens - 1.0, calendar)) << c.zone;
  }
}

TEST(ScheduleTest, FallBackReportsTheFirstOccurrenceAndJudgesByMinuteOfDay) {
  struct Case {
    const char* zone;
    int month, day;
    std::int64_t focus;
    Instant firstOccurrence, secondOccurrence;
    Instant repeatedEarlierThanFocus;
  } const cases[] = {
      // 01:30 twice in New York on 2026-11-01 (EDT, then EST).
      {"America/New_York", 11, 1, 90, testing::utcInstant(2026, 11, 1, 5, 30),
       testing::utcInstant(2026, 11, 1, 6, 30), testing::utcInstant(2026, 11, 1, 6, 10)},
      // 02:30 twice in Berlin on 2026-10-25 (CEST, then CET).
      {"Europe/Berlin", 10, 25, 150, testing::utcInstant(2026, 10, 25, 0, 30),
       testing::utcInstant(2026, 10, 25, 1, 30), testing::utcInstant(2026, 10, 25, 1, 10)},
  };
  for (const auto& c : cases) {
    const Calendar calendar = Calendar::named(c.zone);
    const TamrinPolicy policy = policyWith(c.focus, 600);
    const Instant dayBefore = testing::localInstant(c.zone, 2026, c.month, c.day - 1, 12, 0);
    EXPECT_EQ(policy.nextScheduledBlockStart(dayBefore, calendar), c.firstOccurrence) << c.zone;
    EXPECT_EQ(ScheduleProbe::blockStart(policy, c.secondOccurrence + 60, calendar),
              c.firstOccurrence)
        << c.zone;
    // In the repeated hour, a local time before the focus time is not blocked.
    EXPECT_FALSE(policy.isBlocked(c.repeatedEarlierThanFocus, calendar)) << c.zone;
    EXPECT_TRUE(policy.isBlocked(c.firstOccurrence + 600, calendar)) << c.zone;
  }
}

TEST(ScheduleTest, StagedChangeGovernsByInterval) {
  const Calendar calendar = Calendar::named(kZone);
  TamrinPolicy policy = policyWith(240, 1200);
  TamrinConfiguration next = policy.configuration;
  next.focusStartMinutes = 360;
  next.accessStartMinutes = 1080;
  // Staged at 21:00 while no block runs: X = 21:00, A = 06:00 next day.
  policy.pendingConfiguration = next;
  policy.pendingConfigurationStopsEnforcingAt = at(2, 21, 0);
  policy.pendingConfigurationAppliesAt = at(3, 6, 0);
  EXPECT_TRUE(policy.isBlocked(at(2, 10, 0), calendar));  // before X: current windows
  EXPECT_FALSE(policy.isBlocked(at(3, 5, 0), calendar));  // between X and A: nothing
  EXPECT_EQ(policy.nextScheduledBlockStart(at(3, 5, 0), calendar), at(3, 6, 0));
  EXPECT_EQ(policy.nextScheduledBlockStart(at(2, 21, 0), calendar), at(3, 6, 0));
  EXPECT_TRUE(policy.isBlocked(at(3, 6, 0), calendar));  // from A: the staged windows
  EXPECT_FALSE(policy.isBlocked(at(3, 18, 0), calendar));
  EXPECT_EQ(policy.nextScheduledAccessStart(at(3, 5, 0), calendar), at(3, 18, 0));
  EXPECT_EQ(policy.nextScheduledBlockStart(at(3, 7, 0), calendar), at(4, 6, 0));
}

}  // namespace
}  // namespace tamrin
