#include "daemon/service/pass_timing.h"

#include <gtest/gtest.h>

#include "tests/support/configurations.h"
#include "tests/support/local_time.h"

namespace tamrin {
namespace {

using testing::utcInstant;
using Maybe = std::optional<Instant>;

const Instant kAt = utcInstant(2026, 3, 2, 10, 0);

TEST(PassTimingTest, NextPassDate) {
  const Instant scheduled = kAt + 60;
  struct Case {
    const char* name;
    Maybe holdEnds;
    bool lastPassHeldOnly;
    Instant expected;
  } const cases[] = {
      {"the schedule's", {}, false, scheduled},
      {"a hold ending sooner", kAt + 10, false, kAt + 10},
      {"a hold ending later", kAt + 600, false, scheduled},
      {"a held pass whose hold has ended: at once", {}, true, kAt},
      {"a held pass whose hold goes on", kAt + 30, true, kAt + 30},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nextPassDate(scheduled, c.holdEnds, c.lastPassHeldOnly, kAt), c.expected) << c.name;
  }
}

TEST(PassTimingTest, RefreshWakes) {
  struct Case {
    const char* name;
    bool blocking;
    Maybe nextRefresh;
    Maybe expected;
  } const cases[] = {
      {"outside a block", false, kAt + 30, {}},
      {"never refreshed: at once", true, {}, kAt},
      {"due later", true, kAt + 30, kAt + 30},
      {"overdue: at once", true, kAt - 30, kAt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(addressRefreshWake(c.blocking, c.nextRefresh, kAt), c.expected) << c.name;
  }
}

TEST(PassTimingTest, RefreshOnlyWakesAndTimerWaits) {
  struct Case {
    const char* name;
    Maybe nextPass;
    Maybe refreshWake;
    bool refreshOnly;
    double wait;  // with the next pass, or a minute away when there is none
  } const cases[] = {
      {"the pass is due", kAt, kAt, false, 0.1},
      {"a refresh before the pass", kAt + 40, kAt, true, 0.1},
      {"a refresh not yet due", kAt + 40, kAt + 20, false, 20},
      {"no refresh", kAt + 40, {}, false, 40},
      {"a refresh after the pass", kAt + 40, kAt + 50, false, 40},
      {"no pass scheduled yet", {}, kAt, false, 0.1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isRefreshOnlyWake(kAt, c.nextPass, c.refreshWake), c.refreshOnly) << c.name;
    EXPECT_DOUBLE_EQ(timerWait(kAt, c.nextPass.value_or(kAt + 60), c.refreshWake), c.wait)
        << c.name;
  }
}

TEST(PassTimingTest, LookupsWaitWhenTheNextPassIsWithinFiveSeconds) {
  EXPECT_TRUE(leavesLookupsToNextPass(kAt, kAt + 2));
  EXPECT_TRUE(leavesLookupsToNextPass(kAt, kAt + 4.9));
  EXPECT_FALSE(leavesLookupsToNextPass(kAt, kAt + 5));
  EXPECT_FALSE(leavesLookupsToNextPass(kAt, std::nullopt));
}

TEST(PassTimingTest, NextReconciliationDateIsTheTransitionOrAMinute) {
  const Calendar utc = Calendar::named("UTC");
  const TamrinPolicy policy(testing::window(240, 1200));  // 04:00-20:00 UTC
  const Instant ends = utcInstant(2026, 3, 2, 20, 0);
  struct Case {
    const char* name;
    std::optional<TamrinPolicy> policy;
    Instant after;
    Instant expected;
  } const cases[] = {
      {"no policy", std::nullopt, kAt, kAt + 60},
      {"a transition within the minute", policy, ends - 30, ends},
      {"a transition at the minute", policy, ends - 60, ends},
      {"none for hours", policy, ends - 7200, ends - 7140},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nextReconciliationDate(c.policy, c.after, utc), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace tamrin
