#include "control/control_status.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "tests/support/configurations.h"
#include "tests/support/local_time.h"

namespace tamrin {
namespace {

constexpr std::string_view kZone = "Europe/Berlin";

// Local time in Berlin in March 2026 (CET, UTC+1); the 2nd is a Monday.
Instant berlin(int day, int hour, int minute) {
  return testing::localInstant(kZone, 2026, 3, day, hour, minute);
}

TamrinPolicy dayPolicy() {
  return TamrinPolicy(TamrinConfiguration{.domains = {"example.com"},
                                          .focusStartMinutes = 240,
                                          .accessStartMinutes = 1200,
                                          .activeWeekdays = std::nullopt});
}

TEST(ControlStatusTest, StateWordsAndProtection) {
  struct Case {
    const char* name;
    bool hasPolicy;
    std::optional<bool> blocked;
    bool hosts, filter;
    const char* state;
    bool isProtected, mismatch;
  } const cases[] = {
      {"nothing anywhere", false, std::nullopt, false, false, "notConfigured", false, false},
      {"hosts block left behind", false, std::nullopt, true, false, "attention", false, true},
      {"rules left behind", false, std::nullopt, false, true, "attention", false, true},
      {"no policy comes before blocked", false, true, true, true, "notConfigured", true, false},
      {"blocking, both in place", true, true, true, true, "protected", true, false},
      {"blocking, rules missing", true, true, true, false, "attention", false, true},
      {"blocking, hosts missing", true, true, false, true, "attention", false, true},
      {"blocking, nothing in place", true, true, false, false, "attention", false, true},
      {"access, nothing in place", true, false, false, false, "access", false, false},
      {"access, rules still loaded", true, false, false, true, "attention", false, true},
      {"policy without blocked", true, std::nullopt, false, false, "access", false, false},
  };
  const Calendar calendar = Calendar::named(kZone);
  for (const Case& c : cases) {
    const DaemonStatus status{
        .blocked = c.blocked,
        .managedHostsBlockPresent = c.hosts,
        .managedPacketFilterBlockPresent = c.filter,
        .policy = c.hasPolicy ? std::optional<TamrinPolicy>(dayPolicy()) : std::nullopt};
    const ControlStatus printed = makeControlStatus(status, berlin(2, 10, 0), calendar);
    EXPECT_EQ(printed.state, c.state) << c.name;
    EXPECT_EQ(printed.isProtected, c.isProtected) << c.name;
    EXPECT_EQ(printed.hasProtectionMismatch, c.mismatch) << c.name;
    EXPECT_EQ(printed.configuration.has_value(), c.hasPolicy) << c.name;
    EXPECT_EQ(printed.nextTransition.has_value(), c.hasPolicy) << c.name;
    EXPECT_EQ(printed.nextTransitionKind.has_value(), c.hasPolicy) << c.name;
    EXPECT_FALSE(printed.pendingChangesApplyAt.has_value()) << c.name;
  }
}

TEST(ControlStatusTest, WithoutPolicyPrintsExactlyThreeMembers) {
  const Calendar calendar = Calendar::named(kZone);
  EXPECT_EQ(encodeControlStatus(makeControlStatus(DaemonStatus{}, berlin(2, 10, 0), calendar)),
            R"({"hasProtectionMismatch":false,"isProtected":false,"state":"notConfigured"})");
  const DaemonStatus leftBehind{.blocked = std::nullopt,
                                .managedHostsBlockPresent = true,
                                .managedPacketFilterBlockPresent = false,
                                .policy = std::nullopt};
  EXPECT_EQ(encodeControlStatus(makeControlStatus(leftBehind, berlin(2, 10, 0), calendar)),
            R"({"hasProtectionMismatch":true,"isProtected":false,"state":"attention"})");
  DaemonStatus layers{.blocked = std::nullopt,
                      .managedHostsBlockPresent = false,
                      .managedPacketFilterBlockPresent = false,
                      .policy = std::nullopt,
                      .layersInForce = {"nameService"}};
  EXPECT_EQ(encodeControlStatus(makeControlStatus(layers, berlin(2, 10, 0), calendar)),
            R"({"hasProtectionMismatch":false,"isProtected":false,"state":"notConfigured"})");
  layers.layerProblems["firefoxPolicy"] = "someone else's";
  EXPECT_EQ(
      encodeControlStatus(makeControlStatus(layers, berlin(2, 10, 0), calendar)),
      R"({"hasProtectionMismatch":true,"isProtected":false,"layerProblems":{"firefoxPolicy":"someone else's"},"state":"attention"})");
}

TEST(ControlStatusTest, NextTransitionFollowsTheSchedule) {
  struct Case {
    const char* name;
    Instant now;
    const char* kind;
    Instant next;
  } const cases[] = {
      {"inside the block", berlin(2, 10, 0), "access", berlin(2, 20, 0)},
      {"last minute of the block", berlin(2, 19, 59), "access", berlin(2, 20, 0)},
      {"at the access start", berlin(2, 20, 0), "blocking", berlin(3, 4, 0)},
      {"evening", berlin(2, 21, 0), "blocking", berlin(3, 4, 0)},
      {"early morning", berlin(3, 3, 59), "blocking", berlin(3, 4, 0)},
  };
  const Calendar calendar = Calendar::named(kZone);
  const DaemonStatus status{.blocked = false,
                            .managedHostsBlockPresent = false,
                            .managedPacketFilterBlockPresent = false,
                            .policy = dayPolicy()};
  for (const Case& c : cases) {
    const ControlStatus printed = makeControlStatus(status, c.now, calendar);
    EXPECT_EQ(printed.nextTransitionKind, c.kind) << c.name;
    EXPECT_EQ(printed.nextTransition, c.next) << c.name;
  }
}

TEST(ControlStatusTest, AHeldBlockIsProtectedUntilItsRealEnd) {
  // The clock says 21:00, after the window; the daemon still holds the block until 23:30.
  const DaemonStatus status{.blocked = true,
                            .managedHostsBlockPresent = true,
                            .managedPacketFilterBlockPresent = true,
                            .policy = dayPolicy(),
                            .blockHeldUntil = berlin(2, 23, 30)};
  const ControlStatus printed = makeControlStatus(status, berlin(2, 21, 0), Calendar::named(kZone));
  EXPECT_EQ(printed.state, "protected");
  EXPECT_EQ(printed.nextTransitionKind, "access");
  EXPECT_EQ(printed.nextTransition, berlin(2, 23, 30));
  EXPECT_EQ(decodeDaemonStatus(encodeDaemonStatus(status)), status);
}

TEST(ControlStatusTest, StagedChangeIsReportedWithItsStart) {
  const Calendar calendar = Calendar::named(kZone);
  TamrinPolicy policy = dayPolicy();
  const TamrinConfiguration next{.domains = {"example.com", "news.org"},
                                 .focusStartMinutes = 360,
                                 .accessStartMinutes = 1080,
                                 .activeWeekdays = {{2, 3}}};
  // Staged at 21:00 while no block runs: nothing governs until Tuesday 06:00.
  policy.stageConfiguration(next, berlin(2, 21, 0), std::nullopt, calendar);
  ASSERT_EQ(policy.pendingConfigurationAppliesAt, berlin(3, 6, 0));
  const DaemonStatus status{.blocked = false,
                            .managedHostsBlockPresent = false,
                            .managedPacketFilterBlockPresent = false,
                            .policy = policy};

  const ControlStatus printed = makeControlStatus(status, berlin(2, 21, 30), calendar);
  EXPECT_EQ(printed.configuration, next);
  EXPECT_EQ(printed.pendingChangesApplyAt, berlin(3, 6, 0));
  EXPECT_EQ(
      encodeControlStatus(printed),
      R"({"configuration":{"accessStartMinutes":1080,"activeWeekdays":[2,3],"domains":["example.com","news.org"],"focusStartMinutes":360},)"
      R"("hasProtectionMismatch":false,"isProtected":false,"nextTransition":"2026-03-03T05:00:00Z",)"
      R"("nextTransitionKind":"blocking","pendingChangesApplyAt":"2026-03-03T05:00:00Z","state":"access"})");
}

TEST(ControlStatusTest, WindowsArePrintedAsGivenWithTheTransitionsOfTheirUnion) {
  const Calendar calendar = Calendar::named(kZone);
  const DaemonStatus status{
      .blocked = true,
      .managedHostsBlockPresent = true,
      .managedPacketFilterBlockPresent = true,
      .policy = TamrinPolicy(testing::windows({{780, 1020}, {540, 720, {{2}}}}))};
  const std::string configuration =
      R"({"configuration":{"domains":["example.com"],"windows":[{"accessStartMinutes":1020,)"
      R"("focusStartMinutes":780},{"accessStartMinutes":720,"activeWeekdays":[2],)"
      R"("focusStartMinutes":540}]},"hasProtectionMismatch":false,"isProtected":true,)";
  EXPECT_EQ(encodeControlStatus(makeControlStatus(status, berlin(2, 10, 0), calendar)),
            configuration +
                R"("nextTransition":"2026-03-02T11:00:00Z","nextTransitionKind":"access",)"
                R"("state":"protected"})");
  EXPECT_EQ(makeControlStatus(status, berlin(2, 12, 30), calendar).nextTransition,
            berlin(2, 13, 0));
}

TEST(ControlStatusTest, NamedBlocksArePrintedEachWithItsStateAndTransition) {
  const Calendar calendar = Calendar::named(kZone);
  TamrinPolicy policy(testing::namedBlocks({{"work", testing::window(540, 1020, {"news.org"})},
                                            {"evening", testing::window(1080, 1320, {"video.net"})}}));
  policy.stageConfiguration(
      testing::namedBlocks({{"work", testing::window(540, 1020, {"news.org", "shop.net"})},
                            {"evening", testing::window(1080, 1320, {"video.net"})}}),
      berlin(2, 10, 0), std::nullopt, calendar);
  const DaemonStatus status{.blocked = true,
                            .managedHostsBlockPresent = true,
                            .managedPacketFilterBlockPresent = true,
                            .policy = policy};
  const std::string line = encodeControlStatus(makeControlStatus(status, berlin(2, 10, 0), calendar));
  EXPECT_NE(line.find(R"("blocks":[{"name":"work","nextTransition":"2026-03-02T16:00:00Z",)"
                      R"("nextTransitionKind":"access","pendingChangesApplyAt":"2026-03-03T08:00:00Z",)"
                      R"("state":"protected"},{"name":"evening","nextTransition":"2026-03-02T17:00:00Z",)"
                      R"("nextTransitionKind":"blocking","state":"access"}])"),
            std::string::npos)
      << line;
  EXPECT_NE(line.find(R"("nextTransition":"2026-03-02T16:00:00Z","nextTransitionKind":"access",)"
                      R"("pendingChangesApplyAt":"2026-03-03T08:00:00Z","state":"protected"})"),
            std::string::npos)
      << line;
  // At the evening's start the names change from none to the evening's: a blocking transition.
  const ControlStatus between = makeControlStatus(status, berlin(2, 17, 30), calendar);
  EXPECT_EQ(between.nextTransition, berlin(2, 18, 0));
  EXPECT_EQ(between.nextTransitionKind, "blocking");
}

TEST(ControlStatusTest, FlowsRefusedByNameArePrintedOnceThereAreAny) {
  const Calendar calendar = Calendar::named(kZone);
  DaemonStatus status{.blocked = true,
                      .managedHostsBlockPresent = true,
                      .managedPacketFilterBlockPresent = true,
                      .policy = dayPolicy(),
                      .wireNames = WireNamesCounts{.flowsRefused = 0, .inspectionsLost = 2}};
  const std::string without = encodeControlStatus(makeControlStatus(status, berlin(2, 10, 0), calendar));
  EXPECT_EQ(without.find("flowsRefusedByName"), std::string::npos);
  status.wireNames->flowsRefused = 3;
  const std::string with = encodeControlStatus(makeControlStatus(status, berlin(2, 10, 0), calendar));
  EXPECT_NE(with.find(R"("flowsRefusedByName":3,)"), std::string::npos) << with;
  // The daemon's own record carries both counts and reads back the same.
  EXPECT_EQ(decodeDaemonStatus(encodeDaemonStatus(status)), status);
}

TEST(ControlStatusTest, ScheduleWithoutDaysWaitsForTheDistantFuture) {
  TamrinPolicy policy = dayPolicy();
  policy.configuration.activeWeekdays = std::vector<std::int64_t>{};
  const DaemonStatus status{.blocked = false,
                            .managedHostsBlockPresent = false,
                            .managedPacketFilterBlockPresent = false,
                            .policy = policy};
  const ControlStatus printed = makeControlStatus(status, berlin(2, 10, 0), Calendar::named(kZone));
  EXPECT_EQ(printed.nextTransitionKind, "blocking");
  EXPECT_EQ(printed.nextTransition, Instant::distantFuture());
  EXPECT_NE(encodeControlStatus(printed).find(R"("nextTransition":"4001-01-01T00:00:00Z")"),
            std::string::npos);
}

TEST(ControlStatusTest, Iso8601Text) {
  struct Case {
    double secondsSinceReference;
    const char* text;
  } const cases[] = {
      {0, "2001-01-01T00:00:00Z"},
      {0.999, "2001-01-01T00:00:00Z"},
      {-0.25, "2000-12-31T23:59:59Z"},
      {794134800, "2026-03-02T09:00:00Z"},
      {794134800.5, "2026-03-02T09:00:00Z"},
      {-978307200, "1970-01-01T00:00:00Z"},
      {Instant::distantFuture().secondsSinceReference(), "4001-01-01T00:00:00Z"},
      {-63113904000, "0001-01-01T00:00:00Z"},
      {252423993599, "9999-12-31T23:59:59Z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(iso8601Text(Instant(c.secondsSinceReference)), c.text) << c.secondsSinceReference;
  }
  for (const double outside :
       {-63113904001.0, 252423993600.0, 1e300, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_THROW(iso8601Text(Instant(outside)), std::out_of_range) << outside;
  }
}

}  // namespace
}  // namespace tamrin
