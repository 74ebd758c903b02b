#include "daemon/service/block_hold.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "core/daemon_status.h"
#include "core/file_io.h"
#include "core/tamrin_error.h"
#include "daemon/enforcement/protection_layers.h"
#include "daemon/service/daemon_service.h"
#include "tests/support/configurations.h"
#include "tests/support/fake_service_manager.h"
#include "tests/support/local_time.h"
#include "tests/support/service_fixture.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using testing::utcInstant;
using testing::window;

constexpr double kDay = 24 * 3600.0;

TEST(BlockHoldTest, UpdatedAnchor) {
  const Instant now = utcInstant(2026, 3, 2, 10, 0);
  const BootReading reading{.bootId = "a", .now = 1000};
  // An anchor of boot "a" as this pass writes it: its wall end and the reading stamped on.
  const auto stamped = [&](double bootEnd) {
    return BlockHold{"a", bootEnd, now + (bootEnd - 1000), 1000.0};
  };
  const BlockHold later = stamped(9000);
  struct Case {
    const char* name;
    std::optional<BlockHold> anchor;
    std::optional<Instant> scheduledEnd;
    std::optional<BlockHold> expected;
  } const cases[] = {
      {"a block begins", {}, now + 3600, stamped(4600)},
      {"a later end moves it", stamped(4600), now + 7200, stamped(8200)},
      {"an earlier end does not", later, now + 3600, later},
      {"jitter is no later end", stamped(4600), now + 3600.5, stamped(4600)},
      {"no block, still holding", later, {}, later},
      {"no block, reached", BlockHold{"a", 1000}, {}, {}},
      {"another boot, no block", BlockHold{"b", 9000}, {}, {}},
      {"another boot, a block", BlockHold{"b", 90000}, now + 60, stamped(1060)},
      {"another boot, its wall end", BlockHold{"b", 90000, now + 7200, 50.0}, {}, stamped(8200)},
      {"another boot, wall end passed", BlockHold{"b", 90000, now - 1, 50.0}, {}, {}},
      {"another boot, wall end after the schedule's", BlockHold{"b", 90000, now + 7200, 50.0},
       now + 3600, stamped(8200)},
      {"same id, boot clock smaller", BlockHold{"a", 9000, now + 7200, 5000.0}, {}, stamped(8200)},
      {"same id, boot clock smaller, no wall end", BlockHold{"a", 9000, {}, 5000.0}, {}, {}},
      {"an older anchor gains its wall end", BlockHold{"a", 9000}, {}, later},
      {"the wall end follows a moved clock", BlockHold{"a", 9000, now + 100, 500.0}, {}, later},
      {"far ahead, no block", BlockHold{"a", 1e12}, {}, stamped(1000 + 7 * kDay)},
      {"far ahead, a block", BlockHold{"a", 1e12}, now + 60, stamped(1060 + 7 * kDay)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(updatedHold(c.anchor, reading, now, c.scheduledEnd), c.expected) << c.name;
  }
  EXPECT_EQ(remainingHold(later, reading, now), 8000.0);
  EXPECT_EQ(remainingHold(BlockHold{"a", 9000}, {.bootId = "b", .now = 1000}, now), std::nullopt);
  EXPECT_EQ(remainingHold(later, {.bootId = "a", .now = 9000}, now), std::nullopt);
  EXPECT_EQ(remainingHold(BlockHold{"b", 1, now + 600}, reading, now), 600.0);
  EXPECT_EQ(remainingHold(BlockHold{"b", 1, now + 1e9}, reading, now), kLongestHold);
}

TEST(BlockHoldTest, AChangedBootIdIsNotAnotherBoot) {
  const BootClock clock{.now = [] { return 42.0; }, .bootId = [] { return std::string("fake"); }};
  const BootObservation changed = observeBoot(clock, "real");
  EXPECT_EQ(changed.reading.bootId, "real");
  EXPECT_EQ(changed.reading.now, 42.0);
  EXPECT_TRUE(changed.idChanged);
  EXPECT_FALSE(observeBoot(clock, "fake").idChanged);
}

// A hold judged against the schedule of a policy for 04:00-20:00 UTC every day.
TEST(BlockHoldTest, TheHoldAgainstTheSchedule) {
  const Calendar utc = Calendar::named("UTC");
  const Instant inBlock = utcInstant(2026, 3, 2, 10, 0);  // the block ends 36000 s later
  const Instant outside = utcInstant(2026, 3, 2, 21, 0);
  const BootReading reading{.bootId = "a", .now = 1000};
  struct Case {
    const char* name;
    Instant now;
    std::optional<BlockHold> hold;
    std::optional<Instant> beyondSchedule;  // heldBeyondSchedule
    std::optional<Instant> blockEnd;        // policyBlockEnd with the reading
    std::optional<Instant> blockEndUnread;  // policyBlockEnd without a reading
  } const cases[] = {
      {"a block, no hold", inBlock, {}, {}, inBlock + 36000, inBlock + 36000},
      {"a hold to the schedule's end",
       inBlock,
       BlockHold{"a", 37000},
       {},
       inBlock + 36000,
       inBlock + 36000},
      {"a hold within the jitter of it",
       inBlock,
       BlockHold{"a", 37000.5},
       {},
       inBlock + 36000.5,
       inBlock + 36000},
      {"a hold an hour longer", inBlock, BlockHold{"a", 40600}, inBlock + 39600, inBlock + 39600,
       inBlock + 36000},
      {"a hold after the window", outside, BlockHold{"a", 1600}, outside + 600, outside + 600, {}},
      {"no block, no hold", outside, {}, {}, {}, {}},
      {"another boot's hold without a wall end", outside, BlockHold{"b", 90000}, {}, {}, {}},
  };
  for (const auto& c : cases) {
    TamrinPolicy policy(window(240, 1200));
    policy.blockHold = c.hold;
    EXPECT_EQ(heldBeyondSchedule(policy, reading, c.now, utc), c.beyondSchedule) << c.name;
    EXPECT_EQ(policyBlockEnd(policy, reading, c.now, utc), c.blockEnd) << c.name;
    EXPECT_EQ(policyBlockEnd(policy, std::nullopt, c.now, utc), c.blockEndUnread) << c.name;
  }
}

TEST(BlockHoldTest, RemainingHoldWithoutABootClockAndTheConfigurationKept) {
  const Instant now = utcInstant(2026, 3, 2, 10, 0);
  const BootReading reading{.bootId = "a", .now = 1000};
  const BlockHold hold{"a", 1600, now + 900};
  EXPECT_EQ(remainingHoldOrWallEnd(hold, reading, now), 600.0) << "the boot clock rules";
  EXPECT_EQ(remainingHoldOrWallEnd(hold, std::nullopt, now), 900.0) << "else the wall end";
  EXPECT_EQ(remainingHoldOrWallEnd(BlockHold{"a", 1600, now + 1e9}, std::nullopt, now),
            kLongestHold);
  EXPECT_EQ(remainingHoldOrWallEnd(BlockHold{"a", 1600, now - 1}, std::nullopt, now), std::nullopt);
  EXPECT_EQ(remainingHoldOrWallEnd(BlockHold{"a", 1600}, std::nullopt, now), std::nullopt);

  EXPECT_TRUE(holdsConfiguration(hold, reading, now));
  EXPECT_FALSE(holdsConfiguration(BlockHold{"a", 1000.5}, reading, now)) << "only jitter left";
  EXPECT_FALSE(holdsConfiguration(std::nullopt, reading, now));
}

// 04:00-20:00 every day; the service's wall clock, zone, boot clock and boot id are all set by
// the test.
class HeldBlockTest : public ServiceFixture {
 protected:
  HeldBlockTest() { withBootClock = true; }

  // The text of the reply: absent on success.
  static std::optional<std::string> call(auto send) { return ServiceFixture::call(send).text; }
  // Enables a minute before the window, so the sites' addresses are looked up while the hosts
  // file is clean, and starts the block at 10:00 with the boot clock at 1000: it holds until
  // boot time 37000.
  std::shared_ptr<DaemonService> enabledInBlock() { return enabledInBlock(environment()); }
  std::shared_ptr<DaemonService> enabledInBlock(DaemonEnvironment environment) {
    auto service = makeService(std::move(environment));
    now = utcInstant(2026, 3, 2, 3, 59);
    bootNow = 940;
    EXPECT_EQ(call([&](Reply r) { service->enableBlocking(encodeConfiguration(day), r); }),
              std::nullopt);
    now = utcInstant(2026, 3, 2, 10, 0);
    bootNow = 1000;
    service->TEST_runPass(now);
    return service;
  }

  const TamrinConfiguration day = window(240, 1200);
};

const char* const kLocked =
    "Tamrin can\u2019t be removed during an active block. Try again when access returns.";

TEST_F(HeldBlockTest, ClockForwardPastTheEndLeavesTheBlockUntilItsRealEnd) {
  auto service = enabledInBlock();
  EXPECT_EQ(stored().blockHold,
            (BlockHold{"boot-a", 37000, utcInstant(2026, 3, 2, 20, 0), 1000.0}));
  // Ten minutes later the clock is set to 21:00, after the block's scheduled end.
  bootNow = 1600;
  now = utcInstant(2026, 3, 2, 21, 0);
  service->TEST_runPass(now);
  EXPECT_TRUE(hostsBlocked());
  EXPECT_TRUE(fake.enabled);
  const Instant realEnd = now.load() + (37000 - 1600);
  DaemonStatus held = status(*service);
  EXPECT_EQ(held.blocked, true);
  EXPECT_FALSE(held.hasProtectionMismatch());
  EXPECT_EQ(held.blockHeldUntil, realEnd);
  EXPECT_EQ(call([&](Reply r) { service->prepareForRemoval(r); }), kLocked);

  // A change sent now waits for the real end, even though its start has passed on the clock.
  EXPECT_EQ(call([&](Reply r) {
              service->updateConfiguration(encodeConfiguration(window(1260, 1320)), r);
            }),
            std::nullopt);
  TamrinPolicy staged = stored();
  EXPECT_EQ(staged.pendingConfigurationStopsEnforcingAt, realEnd);
  EXPECT_EQ(staged.configuration, day);
  advance(3600);
  service->TEST_runPass(now);
  EXPECT_EQ(stored().configuration, day) << "a staged change must not take over during the hold";
  EXPECT_TRUE(hostsBlocked());

  // Once the boot clock reaches the anchor, the block ends and the anchor is dropped.
  now = realEnd;
  bootNow = 37000;
  service->TEST_runPass(now);
  EXPECT_FALSE(hostsBlocked());
  EXPECT_FALSE(fake.enabled);
  EXPECT_EQ(stored().blockHold, std::nullopt);
  EXPECT_EQ(status(*service).blocked, false);
  EXPECT_EQ(call([&](Reply r) { service->prepareForRemoval(r); }), std::nullopt);
}

// A block held by the boot clock past its scheduled end keeps the unit guarded until it ends.
TEST_F(HeldBlockTest, TheStopGuardStaysForTheHeldBlock) {
  const fs::path units = directory / "units";
  const fs::path dropIn = units / "tamrin-daemon.service.d" / StopGuard::kFileName;
  const auto systemd = std::make_shared<FakeServiceManager>(dropIn);
  DaemonEnvironment guarded = environment();
  guarded.layers = std::make_shared<ProtectionLayers>(NameServicePaths{}, BrowserPolicyPaths{},
                                                      StopGuard(units, systemd));
  auto service = enabledInBlock(std::move(guarded));
  ASSERT_TRUE(fs::exists(dropIn));
  now = utcInstant(2026, 3, 2, 21, 0);  // the clock set past the end, ten minutes in
  bootNow = 1600;
  service->TEST_runPass(now);
  EXPECT_TRUE(systemd->unitState().refusesManualStop);
  bootNow = 36999;  // the block's real length has all but passed
  service->TEST_runPass(now);
  EXPECT_TRUE(systemd->unitState().refusesManualStop);
  bootNow = 37000;
  service->TEST_runPass(now);
  EXPECT_FALSE(fs::exists(dropIn));
  EXPECT_FALSE(systemd->unitState().refusesManualStop);
}

TEST_F(HeldBlockTest, TheTimerWakesWhenTheHoldEnds) {
  auto service = enabledInBlock();
  now = utcInstant(2026, 3, 2, 21, 0);
  bootNow = 37000 - 10;
  service->start();
  const auto wait = secondsToDeadline(*service);
  ASSERT_TRUE(wait.has_value());
  EXPECT_GT(*wait, 8);
  EXPECT_LE(*wait, 10);
}

TEST_F(HeldBlockTest, AHoldThatEndsDuringAPassEndsAtTheNextPassNotAMinuteLater) {
  auto service = enabledInBlock();
  // After the scheduled end, 5 ms before the anchor: the pass still holds, and by the time
  // the timer is armed the hold is over.
  now = utcInstant(2026, 3, 2, 20, 0);
  bootNow = 37000 - 0.005;
  bootStep = 0.01;
  service->start();
  EXPECT_TRUE(hostsBlocked());
  const auto wait = secondsToDeadline(*service);
  ASSERT_TRUE(wait.has_value());
  EXPECT_LT(*wait, 1);
}

TEST_F(HeldBlockTest, ZoneMovedDuringABlockAppliesToLaterWindowsOnly) {
  auto service = enabledInBlock();
  // 10:00 UTC is 00:00 the next day at +14, outside 04:00-20:00 there.
  zone = "Pacific/Kiritimati";
  advance(60);
  service->TEST_runPass(now);
  EXPECT_TRUE(hostsBlocked());
  EXPECT_EQ(status(*service).blockHeldUntil, utcInstant(2026, 3, 2, 20, 0));
  // At 20:00 UTC (10:00 at +14) the window of the new zone runs: the block goes on by it.
  now = utcInstant(2026, 3, 2, 20, 0);
  bootNow = 37000;
  service->TEST_runPass(now);
  EXPECT_TRUE(hostsBlocked());
  EXPECT_EQ(status(*service).blockHeldUntil, std::nullopt);
}

TEST_F(HeldBlockTest, ClockBackOnlyLengthensTheBlock) {
  auto service = enabledInBlock();
  // Set back to 02:00, before the window: held for the ten hours it still had.
  now = utcInstant(2026, 3, 2, 2, 0);
  advance(60);
  service->TEST_runPass(now);
  EXPECT_TRUE(hostsBlocked());
  EXPECT_EQ(status(*service).blockHeldUntil, now.load() + (37000 - 1060));
  // By then the clock reads 12:00, inside the window again, which now lasts until 20:00.
  advance(37000 - 1060);
  service->TEST_runPass(now);
  EXPECT_TRUE(hostsBlocked());
  EXPECT_EQ(stored().blockHold->endsAtBootTime, 37000 + 8 * 3600);
}

TEST_F(HeldBlockTest, ARestartKeepsTheAnchorAndANewBootKeepsItsWallEnd) {
  auto service = enabledInBlock();
  service.reset();
  now = utcInstant(2026, 3, 2, 23, 0);
  bootNow = 2000;
  service = makeService();
  service->TEST_runPass(now);
  EXPECT_TRUE(hostsBlocked()) << "restarted mid-anchor";
  const Instant realEnd = now.load() + 35000;
  EXPECT_EQ(status(*service).blockHeldUntil, realEnd);
  service.reset();

  // A reboot, with the zone moved so that the schedule would run no block: the hold's wall
  // end still holds it.
  bootId = "boot-b";
  bootNow = 30;
  zone = "Pacific/Kiritimati";
  service = makeService();
  EXPECT_EQ(status(*service).blockHeldUntil, realEnd);
  service->TEST_runPass(now);
  EXPECT_TRUE(hostsBlocked()) << "rebooted before the hold's end";
  EXPECT_EQ(stored().blockHold->bootId, "boot-b");
  EXPECT_EQ(call([&](Reply r) { service->prepareForRemoval(r); }), kLocked);

  now = realEnd;
  bootNow = 30 + 35000;
  service->TEST_runPass(now);
  EXPECT_EQ(stored().blockHold, std::nullopt);
  EXPECT_EQ(status(*service).blockHeldUntil, std::nullopt);
}

TEST_F(HeldBlockTest, AFakeBootIdWhileRunningIsReportedAndHoldsNothingLess) {
  auto service = enabledInBlock();
  bootId = "mounted-over";
  zone = "Pacific/Kiritimati";  // the schedule alone would end the block now
  advance(60);
  service->TEST_runPass(now);
  EXPECT_TRUE(hostsBlocked());
  const DaemonStatus held = status(*service);
  EXPECT_EQ(held.blockHeldUntil, utcInstant(2026, 3, 2, 20, 0));
  EXPECT_EQ(held.layerProblems.count("bootClock"), 1u);
  EXPECT_EQ(stored().blockHold->bootId, "boot-a");
}

TEST_F(HeldBlockTest, AStagedChangeWaitsForTheHoldEvenWhenItsStartHasPassed) {
  auto service = enabledInBlock();
  // Staged at 10:00: the block ends at 20:00, the change starts at 21:00.
  EXPECT_EQ(call([&](Reply r) {
              service->updateConfiguration(encodeConfiguration(window(1260, 1320)), r);
            }),
            std::nullopt);
  ASSERT_EQ(stored().pendingConfigurationAppliesAt, utcInstant(2026, 3, 2, 21, 0));
  // Ten minutes later the clock reads 22:00: past the change's start, inside the hold.
  bootNow = 1600;
  now = utcInstant(2026, 3, 2, 22, 0);
  service->TEST_runPass(now);
  EXPECT_EQ(stored().configuration, day);
  EXPECT_EQ(stored().pendingConfiguration, window(1260, 1320));
  EXPECT_TRUE(hostsBlocked());
}

TEST_F(HeldBlockTest, MalformedAnchorKeysMakeThePolicyUnavailable) {
  const char* const anchors[] = {
      R"("anchorBootId":"boot-a","anchorEndsAtBootTime":"37000")",
      R"("anchorBootId":"boot-a","anchorEndsAtBootTime":-1)",
      R"("anchorBootId":"boot-a","anchorEndsAtBootTime":NaN)",
      R"("anchorBootId":7,"anchorEndsAtBootTime":37000)",
      R"("anchorBootId":"","anchorEndsAtBootTime":37000)",
      R"("anchorEndsAtBootTime":37000)",
  };
  for (const char* anchor : anchors) {
    fs::create_directories(policyPath.parent_path());
    std::string text = encodePolicy(TamrinPolicy(day));
    text.insert(text.size() - 1, std::string(",") + anchor);
    writeFileAtomically(policyPath, text, 0600);
    auto service = makeService();
    EXPECT_EQ(
        call([&](Reply r) { service->getStatus(r); }),
        "Tamrin can\u2019t safely read its blocking state. Restart the computer and try again.")
        << anchor;
    service->TEST_runPass(now);
    EXPECT_FALSE(hostsBlocked()) << anchor;
    EXPECT_EQ(readFile(policyPath), text) << anchor;
  }
}

}  // namespace
}  // namespace tamrin
