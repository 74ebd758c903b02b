#include "core/daemon_status.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/configuration_limits.h"
#include "core/json_error.h"
#include "tests/support/configurations.h"

namespace tamrin {
namespace {

TEST(DaemonStatusTest, MismatchTable) {
  struct Case {
    std::optional<bool> blocked;
    bool hosts, filter, mismatch;
  } const cases[] = {
      {std::nullopt, false, false, false}, {std::nullopt, true, false, true},
      {std::nullopt, false, true, true},   {std::nullopt, true, true, true},
      {false, false, false, false},        {false, true, false, true},
      {false, false, true, true},          {false, true, true, true},
      {true, true, true, false},           {true, true, false, true},
      {true, false, true, true},           {true, false, false, true},
  };
  for (const auto& c : cases) {
    const DaemonStatus status{.blocked = c.blocked,
                              .managedHostsBlockPresent = c.hosts,
                              .managedPacketFilterBlockPresent = c.filter,
                              .policy = std::nullopt};
    EXPECT_EQ(status.hasProtectionMismatch(), c.mismatch)
        << "blocked=" << (c.blocked ? (*c.blocked ? "true" : "false") : "absent")
        << " hosts=" << c.hosts << " filter=" << c.filter;
  }
}

TEST(DaemonStatusTest, JsonWithoutPolicyHasOnlyThePresenceKeys) {
  const DaemonStatus status{};
  EXPECT_EQ(encodeDaemonStatus(status),
            R"({"managedHostsBlockPresent":false,"managedPacketFilterBlockPresent":false})");
  EXPECT_EQ(decodeDaemonStatus(encodeDaemonStatus(status)), status);
  EXPECT_EQ(
      decodeDaemonStatus(
          R"({"blocked":null,"policy":null,"managedHostsBlockPresent":true,"managedPacketFilterBlockPresent":false,"other":7})"),
      (DaemonStatus{.blocked = std::nullopt,
                    .managedHostsBlockPresent = true,
                    .managedPacketFilterBlockPresent = false,
                    .policy = std::nullopt}));
}

TEST(DaemonStatusTest, RoundTripWithAStagedPolicy) {
  TamrinPolicy policy(TamrinConfiguration{.domains = {"example.com"},
                                          .focusStartMinutes = 240,
                                          .accessStartMinutes = 1200,
                                          .activeWeekdays = {{2, 3}}});
  policy.pendingConfiguration = policy.configuration;
  policy.pendingConfiguration->focusStartMinutes = 300;
  policy.pendingConfigurationAppliesAt = Instant(818035200.25);
  policy.pendingConfigurationStopsEnforcingAt = Instant(818010000.0 / 3.0);
  const DaemonStatus status{.blocked = true,
                            .managedHostsBlockPresent = true,
                            .managedPacketFilterBlockPresent = false,
                            .policy = policy};
  EXPECT_EQ(decodeDaemonStatus(encodeDaemonStatus(status)), status);
}

TEST(DaemonStatusTest, LayersTravelAndAProblemIsAMismatch) {
  DaemonStatus status{.blocked = true,
                      .managedHostsBlockPresent = true,
                      .managedPacketFilterBlockPresent = true,
                      .policy = std::nullopt,
                      .layersInForce = {"nameService"},
                      .layerProblems = {}};
  EXPECT_FALSE(status.hasProtectionMismatch());
  EXPECT_EQ(decodeDaemonStatus(encodeDaemonStatus(status)), status);
  status.layerProblems["chromiumPolicy"] = "not writable";
  EXPECT_TRUE(status.hasProtectionMismatch());
  EXPECT_EQ(decodeDaemonStatus(encodeDaemonStatus(status)), status);
}

TEST(DaemonStatusTest, MissingOrMistypedKeysFail) {
  const char* cases[] = {
      R"({"managedHostsBlockPresent":true})",
      R"({"managedHostsBlockPresent":true,"managedPacketFilterBlockPresent":1})",
      R"({"managedHostsBlockPresent":true,"managedPacketFilterBlockPresent":true,"blocked":"yes"})",
      R"({"managedHostsBlockPresent":true,"managedPacketFilterBlockPresent":true,"policy":{}})",
      R"(["managedHostsBlockPresent"])",
      R"({"managedHostsBlockPresent":true,"managedPacketFilterBlockPresent":true,"layerProblems":{"a":1}})",
      R"({"managedHostsBlockPresent":true,"managedPacketFilterBlockPresent":true,"layersInForce":"a"})",
  };
  for (const char* json : cases) EXPECT_THROW(decodeDaemonStatus(json), JsonError) << json;
}

TEST(DaemonStatusTest, AStagedListTooLongForOneReplyIsCutFromItsEnd) {
  // A policy stored before the limits: its staged list alone is longer than a reply frame.
  const std::vector<std::string> staged = testing::numberedDomains(60000);
  TamrinPolicy policy(testing::window(240, 1200, {"a.org", "b.org"}));
  policy.pendingConfiguration = testing::window(300, 1000, staged);
  policy.pendingConfigurationAppliesAt = Instant(8e8);
  const DaemonStatus status{.blocked = true,
                            .managedHostsBlockPresent = true,
                            .managedPacketFilterBlockPresent = true,
                            .policy = policy};

  const std::string encoded = encodeReportableStatus(status);
  EXPECT_LE(encoded.size(), kMaxStatusBytes);
  DaemonStatus reported = decodeDaemonStatus(encoded);
  const std::vector<std::string> kept = reported.policy.value().pendingConfiguration->domains;
  EXPECT_GT(kept.size(), 0u);
  EXPECT_LT(kept.size(), staged.size());
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), staged.begin()));
  reported.policy->pendingConfiguration->domains = staged;
  EXPECT_EQ(reported, status) << "only the staged list may be cut";
}

}  // namespace
}  // namespace tamrin
