#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/policy.h"
#include "core/tamrin_error.h"
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

using testing::asWindowList;

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
    // The same window given in the list form behaves exactly alike.
    const TamrinPolicy single = policyWith(c.focus, c.access, c.weekdays);
    for (const TamrinPolicy& policy : {single, TamrinPolicy(asWindowList(single.configuration))}) {
      EXPECT_EQ(ScheduleProbe::blockStart(policy, c.t, calendar), c.blockStart) << c.name;
      EXPECT_EQ(policy.isBlocked(c.t, calendar), c.blockStart.has_value()) << c.name;
      EXPECT_EQ(policy.shouldEnforce(c.t, calendar), c.blockStart.has_value()) << c.name;
      EXPECT_EQ(policy.isScheduledAccess(c.t, calendar), !c.blockStart.has_value()) << c.name;
    }
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
    const TamrinPolicy single = policyWith(c.focus, c.access, c.weekdays);
    for (const TamrinPolicy& policy : {single, TamrinPolicy(asWindowList(single.configuration))}) {
      EXPECT_EQ(policy.nextScheduledBlockStart(c.t, calendar), c.nextBlockStart) << c.name;
      EXPECT_EQ(policy.nextScheduledAccessStart(c.t, calendar), c.nextAccessStart) << c.name;
      EXPECT_EQ(policy.nextEnforcementTransition(c.t, calendar), c.nextTransition) << c.name;
    }
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

struct ShiftedClockCase {
  const char* name;
  const char* zone;
  std::int64_t focus, access;
  Instant t;
  std::optional<Instant> blockStart;
  Instant nextTransition;
};

// Repeated hours (fall-back days) and a skipped day. Whether an instant is blocked is decided
// by its minute of day; the block start is the first occurrence of the focus time; every
// computed transition lies after the instant, and staging and removal follow from them.
TEST(ScheduleTest, RepeatedHourAndSkippedDay) {
  using testing::utcInstant;
  const ShiftedClockCase cases[] = {
      // New York 2026-11-01: 01:00-01:59 runs as EDT (05:00Z-06:00Z), then as EST.
      {"New York, first pass, inside", "America/New_York", 60, 90, utcInstant(2026, 11, 1, 5, 15),
       utcInstant(2026, 11, 1, 5, 0), utcInstant(2026, 11, 1, 5, 30)},
      {"New York, first pass, after",
       "America/New_York",
       60,
       90,
       utcInstant(2026, 11, 1, 5, 45),
       {},
       utcInstant(2026, 11, 1, 6, 0)},
      {"New York, second pass, inside", "America/New_York", 60, 90, utcInstant(2026, 11, 1, 6, 15),
       utcInstant(2026, 11, 1, 5, 0), utcInstant(2026, 11, 1, 6, 30)},
      {"New York, second pass, after",
       "America/New_York",
       60,
       90,
       utcInstant(2026, 11, 1, 6, 45),
       {},
       utcInstant(2026, 11, 2, 6, 0)},
      {"New York overnight, second pass", "America/New_York", 1320, 90,
       utcInstant(2026, 11, 1, 6, 15), utcInstant(2026, 11, 1, 2, 0),
       utcInstant(2026, 11, 1, 6, 30)},
      // Berlin 2026-10-25: 02:00-02:59 runs as CEST (00:00Z-01:00Z), then as CET.
      {"Berlin, first pass, inside", "Europe/Berlin", 120, 150, utcInstant(2026, 10, 25, 0, 15),
       utcInstant(2026, 10, 25, 0, 0), utcInstant(2026, 10, 25, 0, 30)},
      {"Berlin, first pass, after",
       "Europe/Berlin",
       120,
       150,
       utcInstant(2026, 10, 25, 0, 45),
       {},
       utcInstant(2026, 10, 25, 1, 0)},
      {"Berlin, second pass, inside", "Europe/Berlin", 120, 150, utcInstant(2026, 10, 25, 1, 15),
       utcInstant(2026, 10, 25, 0, 0), utcInstant(2026, 10, 25, 1, 30)},
      {"Berlin, second pass, after",
       "Europe/Berlin",
       120,
       150,
       utcInstant(2026, 10, 25, 1, 45),
       {},
       utcInstant(2026, 10, 26, 1, 0)},
      // Lord Howe 2026-04-05: clocks go back half an hour, 01:30-01:59 runs at +11, then +10:30.
      {"Lord Howe, first pass, inside", "Australia/Lord_Howe", 90, 105,
       utcInstant(2026, 4, 4, 14, 40), utcInstant(2026, 4, 4, 14, 30),
       utcInstant(2026, 4, 4, 14, 45)},
      {"Lord Howe, first pass, after",
       "Australia/Lord_Howe",
       90,
       105,
       utcInstant(2026, 4, 4, 14, 50),
       {},
       utcInstant(2026, 4, 4, 15, 0)},
      {"Lord Howe, second pass, inside", "Australia/Lord_Howe", 90, 105,
       utcInstant(2026, 4, 4, 15, 10), utcInstant(2026, 4, 4, 14, 30),
       utcInstant(2026, 4, 4, 15, 15)},
      {"Lord Howe, second pass, after",
       "Australia/Lord_Howe",
       90,
       105,
       utcInstant(2026, 4, 4, 15, 20),
       {},
       utcInstant(2026, 4, 5, 15, 0)},
      // Apia skipped Friday 2011-12-30: Thursday 23:59:59 at -10 was followed by Saturday 00:00
      // at +14. A 22:00-11:00 window opened on Thursday ends at Saturday's 11:00.
      {"Apia, before the skipped day",
       "Pacific/Apia",
       1320,
       660,
       utcInstant(2011, 12, 29, 22, 0),
       {},
       utcInstant(2011, 12, 30, 8, 0)},
      {"Apia, Thursday night", "Pacific/Apia", 1320, 660, utcInstant(2011, 12, 30, 9, 0),
       utcInstant(2011, 12, 30, 8, 0), utcInstant(2011, 12, 30, 21, 0)},
      {"Apia, Saturday morning", "Pacific/Apia", 1320, 660, utcInstant(2011, 12, 30, 15, 0),
       utcInstant(2011, 12, 30, 8, 0), utcInstant(2011, 12, 30, 21, 0)},
      {"Apia, Saturday noon",
       "Pacific/Apia",
       1320,
       660,
       utcInstant(2011, 12, 30, 22, 0),
       {},
       utcInstant(2011, 12, 31, 8, 0)},
      {"Apia, same-day window after the skipped day",
       "Pacific/Apia",
       600,
       720,
       utcInstant(2011, 12, 30, 12, 0),
       {},
       utcInstant(2011, 12, 30, 20, 0)},
  };
  for (const auto& c : cases) {
    const Calendar calendar = Calendar::named(c.zone);
    TamrinPolicy policy = policyWith(c.focus, c.access);
    EXPECT_EQ(ScheduleProbe::blockStart(policy, c.t, calendar), c.blockStart) << c.name;
    EXPECT_EQ(policy.isBlocked(c.t, calendar), c.blockStart.has_value()) << c.name;
    EXPECT_EQ(policy.nextEnforcementTransition(c.t, calendar), c.nextTransition) << c.name;
    EXPECT_GT(policy.nextScheduledAccessStart(c.t, calendar), c.t) << c.name;
    EXPECT_GT(policy.nextScheduledBlockStart(c.t, calendar), c.t) << c.name;
    if (c.blockStart) {
      EXPECT_THROW(policy.validateRemoval(c.t, calendar), TamrinError) << c.name;
    } else {
      EXPECT_NO_THROW(policy.validateRemoval(c.t, calendar)) << c.name;
    }
    // A change staged now never ends the running block before its real end.
    policy.stageConfiguration(testing::window(c.focus, c.access, {"example.org"}), c.t,
                              std::nullopt, calendar);
    EXPECT_EQ(policy.pendingConfigurationStopsEnforcingAt, c.blockStart ? c.nextTransition : c.t)
        << c.name;
    EXPECT_GE(*policy.pendingConfigurationAppliesAt, *policy.pendingConfigurationStopsEnforcingAt)
        << c.name;
    EXPECT_EQ(policy.isBlocked(c.t, calendar), c.blockStart.has_value()) << c.name;
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

struct UnionCase {
  const char* name;
  const char* zone;
  std::vector<FocusWindow> windows;
  Instant t;
  std::optional<Instant> blockStart;
  Instant nextBlockStart, nextAccessStart;
};

// Several windows: the union blocks, and overlapping or touching windows form one block from
// the earliest focus instant to the latest access instant of the chain.
TEST(ScheduleTest, UnionOfWindows) {
  using testing::utcInstant;
  const std::vector<FocusWindow> lunchFree = {{540, 720}, {780, 1020}};
  const std::vector<FocusWindow> touching = {{540, 720}, {720, 1020}};
  const std::vector<FocusWindow> nested = {{540, 1020}, {600, 660}};
  // Friday night into Saturday morning (March 6th and 7th 2026).
  const std::vector<FocusWindow> intoMorning = {{1320, 420, {{6}}}, {420, 720, {{7}}}};
  const std::vector<FocusWindow> workAndWeekend = {{540, 1020, {{2, 3, 4, 5, 6}}},
                                                   {600, 720, {{1, 7}}}};
  // Berlin skips 02:00-03:00 on March 29th: 02:15 and 02:45 both fall on 03:00 (01:00Z);
  // the next day's 01:00 is 23:00Z.
  const std::vector<FocusWindow> acrossGap = {{60, 135}, {165, 300}};
  // Berlin runs 02:00-02:59 twice on October 25th, as 00:00Z-01:00Z and again to 02:00Z.
  const std::vector<FocusWindow> repeated = {{120, 150}, {150, 200}};
  const UnionCase cases[] = {
      {"lunch free, morning", kZone, lunchFree, at(2, 10, 0), at(2, 9, 0), at(2, 13, 0),
       at(2, 12, 0)},
      {"lunch free, at the first access",
       kZone,
       lunchFree,
       at(2, 12, 0),
       {},
       at(2, 13, 0),
       at(2, 17, 0)},
      {"lunch free, afternoon", kZone, lunchFree, at(2, 13, 0), at(2, 13, 0), at(3, 9, 0),
       at(2, 17, 0)},
      {"lunch free, early", kZone, lunchFree, at(2, 8, 0), {}, at(2, 9, 0), at(2, 12, 0)},
      {"touching, first window", kZone, touching, at(2, 10, 0), at(2, 9, 0), at(3, 9, 0),
       at(2, 17, 0)},
      {"touching, second window", kZone, touching, at(2, 12, 0), at(2, 9, 0), at(3, 9, 0),
       at(2, 17, 0)},
      {"touching, before", kZone, touching, at(2, 8, 0), {}, at(2, 9, 0), at(2, 17, 0)},
      {"nested window", kZone, nested, at(2, 10, 30), at(2, 9, 0), at(3, 9, 0), at(2, 17, 0)},
      {"overnight into morning, night", kZone, intoMorning, at(6, 23, 0), at(6, 22, 0),
       at(13, 22, 0), at(7, 12, 0)},
      {"overnight into morning, morning", kZone, intoMorning, at(7, 9, 0), at(6, 22, 0),
       at(13, 22, 0), at(7, 12, 0)},
      {"overnight into morning, Sunday",
       kZone,
       intoMorning,
       at(8, 9, 0),
       {},
       at(13, 22, 0),
       at(14, 12, 0)},
      {"weekday window on Monday", kZone, workAndWeekend, at(2, 11, 0), at(2, 9, 0), at(3, 9, 0),
       at(2, 17, 0)},
      {"Friday evening: Saturday's window next",
       kZone,
       workAndWeekend,
       at(6, 18, 0),
       {},
       at(7, 10, 0),
       at(7, 12, 0)},
      {"Saturday before its window",
       kZone,
       workAndWeekend,
       at(7, 9, 30),
       {},
       at(7, 10, 0),
       at(7, 12, 0)},
      {"Saturday afternoon: Sunday's window next",
       kZone,
       workAndWeekend,
       at(7, 13, 0),
       {},
       at(8, 10, 0),
       at(8, 12, 0)},
      {"duplicates",
       kZone,
       {{540, 720}, {540, 720}},
       at(2, 10, 0),
       at(2, 9, 0),
       at(3, 9, 0),
       at(2, 12, 0)},
      {"gap joins the windows", kZone, acrossGap, utcInstant(2026, 3, 29, 0, 30),
       utcInstant(2026, 3, 29, 0, 0), utcInstant(2026, 3, 29, 23, 0),
       utcInstant(2026, 3, 29, 3, 0)},
      {"after the gap", kZone, acrossGap, utcInstant(2026, 3, 29, 1, 30),
       utcInstant(2026, 3, 29, 0, 0), utcInstant(2026, 3, 29, 23, 0),
       utcInstant(2026, 3, 29, 3, 0)},
      {"no gap the day before", kZone, acrossGap, utcInstant(2026, 3, 28, 0, 30),
       utcInstant(2026, 3, 28, 0, 0), utcInstant(2026, 3, 28, 1, 45),
       utcInstant(2026, 3, 28, 1, 15)},
      {"repeated hour, first pass", kZone, repeated, utcInstant(2026, 10, 25, 0, 15),
       utcInstant(2026, 10, 25, 0, 0), utcInstant(2026, 10, 26, 1, 0),
       utcInstant(2026, 10, 25, 2, 20)},
      {"repeated hour, second pass", kZone, repeated, utcInstant(2026, 10, 25, 1, 15),
       utcInstant(2026, 10, 25, 0, 0), utcInstant(2026, 10, 26, 1, 0),
       utcInstant(2026, 10, 25, 2, 20)},
      {"round the clock, every day",
       "UTC",
       {{0, 720}, {720, 0}},
       utcInstant(2026, 3, 2, 10, 0),
       {},
       Instant::distantFuture(),
       Instant::distantFuture()},
  };
  for (const auto& c : cases) {
    const Calendar calendar = Calendar::named(c.zone);
    const TamrinPolicy policy(testing::windows(c.windows));
    if (c.nextBlockStart != Instant::distantFuture()) {
      EXPECT_EQ(ScheduleProbe::blockStart(policy, c.t, calendar), c.blockStart) << c.name;
    }
    EXPECT_EQ(policy.isBlocked(c.t, calendar),
              c.blockStart.has_value() || c.nextBlockStart == Instant::distantFuture())
        << c.name;
    EXPECT_EQ(policy.nextScheduledBlockStart(c.t, calendar), c.nextBlockStart) << c.name;
    EXPECT_EQ(policy.nextScheduledAccessStart(c.t, calendar), c.nextAccessStart) << c.name;
    EXPECT_EQ(policy.nextEnforcementTransition(c.t, calendar),
              policy.isBlocked(c.t, calendar) ? c.nextAccessStart : c.nextBlockStart)
        << c.name;
  }
}

struct UnionStagingCase {
  const char* name;
  std::vector<FocusWindow> current, next;
  Instant stagedAt;
  Instant stopsEnforcing, applies;
  std::vector<std::pair<Instant, bool>> blocked;
};

// A change never cuts a merged block short, waits for the first focus start of any of its
// windows, and leaves the gap unblocked even where the old windows would block.
TEST(ScheduleTest, StagingOverUnions) {
  const Calendar calendar = Calendar::named(kZone);
  const std::vector<FocusWindow> touching = {{540, 720}, {720, 1020}};
  const std::vector<FocusWindow> lunchFree = {{540, 720}, {780, 1020}};
  const UnionStagingCase cases[] = {
      {"during a merged block",
       touching,
       {{600, 660}},
       at(2, 10, 0),
       at(2, 17, 0),
       at(3, 10, 0),
       {{at(2, 12, 30), true}, {at(2, 16, 59), true}, {at(3, 9, 30), false}, {at(3, 10, 0), true}}},
      {"during the first of two windows",
       lunchFree,
       {{480, 600}, {840, 960}},
       at(2, 10, 0),
       at(2, 12, 0),
       at(2, 14, 0),
       {{at(2, 11, 59), true}, {at(2, 13, 30), false}, {at(2, 14, 0), true}, {at(3, 8, 0), true}}},
      {"in the lunch gap",
       lunchFree,
       {{480, 600}, {840, 960}},
       at(2, 12, 30),
       at(2, 12, 30),
       at(2, 14, 0),
       {{at(2, 13, 30), false}, {at(2, 15, 0), true}, {at(2, 16, 30), false}}},
      {"a new window touching the running block's end",
       lunchFree,
       {{720, 780}, {1200, 1260}},
       at(2, 11, 0),
       at(2, 12, 0),
       at(2, 12, 0),
       {{at(2, 12, 30), true}, {at(2, 13, 30), false}}},
  };
  for (const auto& c : cases) {
    TamrinPolicy policy(testing::windows(c.current));
    policy.stageConfiguration(testing::windows(c.next), c.stagedAt, std::nullopt, calendar);
    EXPECT_EQ(policy.pendingConfigurationStopsEnforcingAt, c.stopsEnforcing) << c.name;
    EXPECT_EQ(policy.pendingConfigurationAppliesAt, c.applies) << c.name;
    for (const auto& [t, blocked] : c.blocked) {
      EXPECT_EQ(policy.isBlocked(t, calendar), blocked) << c.name << " at " << t.unixSeconds();
    }
  }
}

}  // namespace
}  // namespace tamrin
