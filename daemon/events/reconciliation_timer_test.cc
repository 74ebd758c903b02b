#include "daemon/events/reconciliation_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tamrin {
namespace {

using namespace std::chrono_literals;
using Wall = std::chrono::system_clock::time_point;
using Mono = std::chrono::steady_clock::time_point;

TEST(ReconciliationTimerTest, DueAtTheWallDeadlineOrOneMinuteAfterArming) {
  const Wall armedWall = Wall{} + 1000h;
  const Mono armed = Mono{} + 50h;
  struct Case {
    const char* name;
    std::chrono::seconds deadline;  // after arming, on the wall clock
    std::chrono::seconds wallMoved;
    std::chrono::seconds monoMoved;
    std::chrono::seconds due;  // after arming, on the monotonic clock
  } const cases[] = {
      {"untouched clocks", 30s, 10s, 10s, 30s},
      {"wall set back hours", 60s, -3h, 1s, 60s},
      {"wall set back, deadline far", 7200s, -3h, 30s, 60s},
      {"wall set forward past the deadline", 60s, 3h, 1s, 61s - 3h},
      {"deadline in the past", -5s, 0s, 0s, -5s},
  };
  for (const Case& c : cases) {
    const Mono due = ReconciliationTimer::dueAt(armedWall + c.deadline, armed,
                                                armedWall + c.wallMoved, armed + c.monoMoved);
    EXPECT_EQ(due, armed + c.due) << c.name;
  }
}

// Clocks that only move when the test says so.
struct ManualClocks {
  std::atomic<Wall> wall{std::chrono::system_clock::now()};
  std::atomic<Mono> mono{std::chrono::steady_clock::now()};
  TimerClock clock() {
    return {.wall = [this] { return wall.load(); }, .monotonic = [this] { return mono.load(); }};
  }
};

TEST(ReconciliationTimerTest, WallClockSetBackStillFiresOneMinuteAfterArming) {
  ManualClocks clocks;
  std::atomic<int> runs{0};
  ReconciliationTimer timer([&] { ++runs; }, clocks.clock());
  timer.arm(clocks.wall.load() + 60s);
  clocks.wall = clocks.wall.load() - 5h;
  clocks.mono = clocks.mono.load() + 59s;
  timer.clockChanged();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(runs, 0) << "fired before the minute was over";
  clocks.mono = clocks.mono.load() + 1s;
  timer.clockChanged();
  for (int i = 0; i < 200 && runs == 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(timer.deadline());
}

TEST(ReconciliationTimerTest, BurstOfRequestsMakesOneRunAndRunsKeepTheirGap) {
  std::atomic<int> runs{0};
  ReconciliationTimer timer([&] { ++runs; });
  timer.arm(std::chrono::system_clock::now() + 1h);
  for (int i = 0; i < 1000; ++i) timer.request();
  std::this_thread::sleep_for(ReconciliationTimer::kSettle + 70ms);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(timer.deadline()) << "a run consumes the armed deadline";
  // A steady stream of requests for one second: at most one run per gap.
  const auto end = std::chrono::steady_clock::now() + 1s;
  while (std::chrono::steady_clock::now() < end) {
    timer.request();
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_GE(runs, 3);
  EXPECT_LE(runs, 1 + 1000ms / ReconciliationTimer::kGap + 1);
}

}  // namespace
}  // namespace tamrin
