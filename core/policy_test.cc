#include "core/policy.h"

#include <gtest/gtest.h>

#include "core/json_error.h"
#include "core/tamrin_error.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"

namespace tamrin {
namespace {

constexpr const char* kZone = "Europe/Berlin";

Instant at(int day, int hour, int minute, int second = 0) {
  return testing::localInstant(kZone, 2026, 3, day, hour, minute, second);
}

using testing::window;

class StagingTest : public ::testing::Test {
 protected:
  const Calendar calendar = Calendar::named(kZone);
  const TamrinConfiguration current = window(240, 1200);  // 04:00-20:00
  const TamrinConfiguration next = window(360, 1080);     // 06:00-18:00
  TamrinPolicy policy{current};
};

TEST_F(StagingTest, StagedDuringABlockWaitsForItsEnd) {
  policy.resolvedAddresses = {{"192.0.2.1"}};
  policy.stageConfiguration(next, at(2, 10, 0), std::nullopt, calendar);
  EXPECT_EQ(policy.pendingConfigurationStopsEnforcingAt, at(2, 20, 0));
  EXPECT_EQ(policy.pendingConfigurationAppliesAt, at(3, 6, 0));
  EXPECT_EQ(policy.configuration, current);
  EXPECT_EQ(policy.configuredForNextFocus(), next);
  EXPECT_TRUE(policy.isBlocked(at(2, 19, 59), calendar));
  EXPECT_FALSE(policy.isBlocked(at(3, 4, 30), calendar));  // the old window would block here
  EXPECT_TRUE(policy.isBlocked(at(3, 6, 0), calendar));
  EXPECT_FALSE(policy.needsPendingAddressResolution(at(2, 10, 0), calendar));
  EXPECT_TRUE(policy.needsPendingAddressResolution(at(2, 21, 0), calendar));
  EXPECT_TRUE(policy.needsPendingAddressResolution(at(3, 7, 0), calendar));
  EXPECT_THROW(policy.validateRemoval(at(2, 10, 0), calendar), TamrinError);
  EXPECT_NO_THROW(policy.validateRemoval(at(2, 21, 0), calendar));
  EXPECT_THROW(policy.validateRemoval(at(3, 7, 0), calendar), TamrinError);

  EXPECT_FALSE(policy.applyPendingConfigurationIfNeeded(at(3, 5, 59, 59)));
  EXPECT_EQ(policy.configuration, current);
  EXPECT_TRUE(policy.applyPendingConfigurationIfNeeded(at(3, 6, 0)));
  EXPECT_EQ(policy.configuration, next);
  EXPECT_FALSE(policy.resolvedAddresses.has_value());  // pending ones were never resolved
  EXPECT_FALSE(policy.pendingConfiguration || policy.pendingResolvedAddresses ||
               policy.pendingConfigurationAppliesAt || policy.pendingConfigurationStopsEnforcingAt);
}

TEST_F(StagingTest, StagedInTheGapStartsAtTheNextFocus) {
  policy.stageConfiguration(next, at(2, 21, 0), {{"192.0.2.7"}}, calendar);
  EXPECT_EQ(policy.pendingConfigurationStopsEnforcingAt, at(2, 21, 0));
  EXPECT_EQ(policy.pendingConfigurationAppliesAt, at(3, 6, 0));
  EXPECT_EQ(policy.pendingResolvedAddresses, std::vector<std::string>{"192.0.2.7"});
  EXPECT_FALSE(policy.isBlocked(at(3, 5, 0), calendar));
  EXPECT_EQ(policy.nextScheduledBlockStart(at(2, 21, 30), calendar), at(3, 6, 0));
  EXPECT_TRUE(policy.applyPendingConfigurationIfNeeded(at(3, 6, 0)));
  EXPECT_EQ(policy.resolvedAddresses, std::vector<std::string>{"192.0.2.7"});
}

TEST_F(StagingTest, AWindowThatAlreadyContainsTheInstantStartsAtItsNextFocus) {
  // No block runs at 21:00; the new 20:30-23:00 window contains 21:00 but opens tomorrow.
  policy.stageConfiguration(window(1230, 1380), at(2, 21, 0), std::nullopt, calendar);
  EXPECT_EQ(policy.pendingConfigurationAppliesAt, at(3, 20, 30));
  EXPECT_FALSE(policy.isBlocked(at(2, 21, 30), calendar));
}

TEST_F(StagingTest, AFocusAtTheInstantGovernsAtOnce) {
  policy.stageConfiguration(window(1260, 1380), at(2, 21, 0), std::nullopt, calendar);
  EXPECT_EQ(policy.pendingConfigurationStopsEnforcingAt, at(2, 21, 0));
  EXPECT_EQ(policy.pendingConfigurationAppliesAt, at(2, 21, 0));
  EXPECT_TRUE(policy.isBlocked(at(2, 21, 0), calendar));
}

TEST_F(StagingTest, FocusAtTheRunningBlocksEndLeavesNoGap) {
  policy.stageConfiguration(window(1200, 1320), at(2, 10, 0), std::nullopt, calendar);
  EXPECT_EQ(policy.pendingConfigurationStopsEnforcingAt, at(2, 20, 0));
  EXPECT_EQ(policy.pendingConfigurationAppliesAt, at(2, 20, 0));
  EXPECT_TRUE(policy.isBlocked(at(2, 20, 0), calendar));
}

TEST_F(StagingTest, ResendingTheCurrentConfigurationCancelsOrStages) {
  policy.resolvedAddresses = {{"192.0.2.1"}};
  policy.stageConfiguration(next, at(2, 10, 0), std::nullopt, calendar);
  TamrinPolicy staged = policy;

  // At 10:00 the current configuration still governs: the change is cancelled.
  policy.stageConfiguration(current, at(2, 10, 0), std::nullopt, calendar);
  EXPECT_FALSE(policy.pendingConfiguration || policy.pendingResolvedAddresses ||
               policy.pendingConfigurationAppliesAt || policy.pendingConfigurationStopsEnforcingAt);
  EXPECT_EQ(policy.resolvedAddresses, std::vector<std::string>{"192.0.2.1"});

  // At 21:00 (the gap) nothing governs: the current configuration is staged like any other.
  staged.stageConfiguration(current, at(2, 21, 0), std::nullopt, calendar);
  EXPECT_EQ(staged.pendingConfiguration, current);
  EXPECT_EQ(staged.pendingConfigurationStopsEnforcingAt, at(2, 21, 0));
  EXPECT_EQ(staged.pendingConfigurationAppliesAt, at(3, 4, 0));
}

TEST_F(StagingTest, InvalidConfigurationLeavesAStagedChangeUntouched) {
  policy.stageConfiguration(next, at(2, 10, 0), std::nullopt, calendar);
  const TamrinPolicy before = policy;
  try {
    policy.stageConfiguration(window(360, 1080, {}), at(2, 11, 0), std::nullopt, calendar);
    ADD_FAILURE() << "staged an invalid configuration";
  } catch (const TamrinError& error) {
    EXPECT_EQ(error.kind(), TamrinError::Kind::invalidConfiguration);
  }
  EXPECT_EQ(policy, before);
}

TEST_F(StagingTest, NothingStagedNeedsNoResolution) {
  EXPECT_FALSE(policy.needsPendingAddressResolution(at(2, 21, 0), calendar));
  policy.stageConfiguration(next, at(2, 21, 0), {{"192.0.2.9"}}, calendar);
  EXPECT_FALSE(policy.needsPendingAddressResolution(at(2, 21, 0), calendar));
}

TEST(PolicyJsonTest, MinimalPolicyHasOnlyTheConfiguration) {
  const TamrinPolicy policy(window(240, 1200));
  EXPECT_EQ(encodePolicy(policy),
            R"({"configuration":{"accessStartMinutes":1200,"domains":["example.com"],)"
            R"("focusStartMinutes":240}})");
  const TamrinPolicy decoded =
      decodePolicy(R"({"configuration":{"accessStartMinutes":1200,"domains":["example.com"],)"
                   R"("focusStartMinutes":240},"future":{"x":1},"resolvedAddresses":null})");
  EXPECT_EQ(decoded, policy);
}

TEST(PolicyJsonTest, RoundTripKeepsExactInstants) {
  TamrinPolicy policy(window(240, 1200));
  policy.resolvedAddresses = {{"192.0.2.1", "2001:db8::1"}};
  policy.pendingConfiguration = window(360, 1080, {"other.org"});
  policy.pendingResolvedAddresses = std::vector<std::string>{};
  policy.pendingConfigurationAppliesAt = Instant(820454400.123456789);
  policy.pendingConfigurationStopsEnforcingAt = Instant(0.1 + 0.2);
  policy.blockHold = BlockHold{.bootId = "5b0c1f4e-boot", .endsAtBootTime = 86400.25};
  TamrinPolicy decoded = decodePolicy(encodePolicy(policy));
  EXPECT_EQ(decoded, policy) << "an anchor of an older daemon";
  policy.blockHold->endsAt = Instant(820454400.75);
  policy.blockHold->recordedAtBootTime = 3600.5;
  decoded = decodePolicy(encodePolicy(policy));
  EXPECT_EQ(decoded, policy);
  EXPECT_EQ(decoded.pendingConfigurationStopsEnforcingAt->secondsSinceReference(), 0.1 + 0.2);
}

TEST(PolicyJsonTest, WindowsAreReadBackExactly) {
  TamrinPolicy policy(testing::windows({{780, 1020}, {540, 720, {{2}}}}));
  policy.pendingConfiguration = testing::windows({{1320, 420}}, {"other.org"});
  policy.pendingConfigurationAppliesAt = Instant(820454400.5);
  EXPECT_EQ(decodePolicy(encodePolicy(policy)), policy);
}

TEST(PolicyJsonTest, BadInputFails) {
  const char* cases[] = {
      R"({})",
      R"({"configuration":[]})",
      R"({"configuration":{"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2},"resolvedAddresses":"x"})",
      R"({"configuration":{"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2},"pendingConfigurationAppliesAt":"soon"})",
      R"({"configuration":{"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2},"pendingConfigurationAppliesAt":1e999})",
      R"({"configuration":{"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2},"pendingConfiguration":{"domains":[]}})",
      R"({"configuration":{"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2},"anchorBootId":"b"})",
      R"({"configuration":{"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2},"anchorBootId":null,"anchorEndsAtBootTime":5})",
      R"({"configuration":{"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2},"anchorBootId":"b","anchorEndsAtBootTime":5,"anchorEndsAt":"x"})",
      R"({"configuration":{"domains":["a.com"],"focusStartMinutes":1,"accessStartMinutes":2},"anchorBootId":"b","anchorEndsAtBootTime":5,"anchorRecordedAtBootTime":-1})",
      "",
      "{\"configuration\":",
  };
  for (const char* json : cases) EXPECT_THROW(decodePolicy(json), JsonError) << json;
}

}  // namespace
}  // namespace tamrin
