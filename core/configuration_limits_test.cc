#include "core/configuration_limits.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/configurations.h"

namespace tamrin {
namespace {

using testing::numberedDomains;
using testing::window;

TEST(ConfigurationLimitsTest, DomainCountAndEncodedSizeBothBound) {
  const struct {
    const char* name;
    std::vector<std::string> domains;
    bool accepted;
  } cases[] = {
      {"10000 short domains", numberedDomains(10000), true},
      {"10001 short domains", numberedDomains(10001), false},
      {"1030 domains of 250 characters, just under 256 KiB", numberedDomains(1030, 232), true},
      {"1040 domains of 250 characters, just over", numberedDomains(1040, 232), false},
  };
  for (const auto& c : cases) {
    const TamrinConfiguration configuration = window(240, 1200, c.domains);
    if (c.accepted) {
      EXPECT_NO_THROW(requireReportableSize(configuration)) << c.name;
    } else {
      EXPECT_THROW(requireReportableSize(configuration), ConfigurationTooLargeError) << c.name;
    }
  }
}

std::vector<std::string> addresses(std::size_t count) {
  std::vector<std::string> list;
  for (std::size_t i = 0; i < count; ++i) {
    list.push_back("2001:db8:ffff:ffff:ffff:ffff:" + std::to_string(10000 + i % 90000) + ":1");
  }
  return list;
}

bool isPrefix(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(ConfigurationLimitsTest, StatusAlwaysFitsOneFrameAndCutsOnlyWhatMustGo) {
  const struct {
    const char* name;
    std::vector<std::string> domains;  // of both the running and the staged configuration
    std::size_t addressCount;          // of both address lists
    bool whole;                        // nothing is cut
    bool domainsWhole;
  } cases[] = {
      {"small", numberedDomains(3), 10, true, true},
      {"both configurations at the byte limit, many addresses", numberedDomains(1030, 232), 60000,
       false, true},
      {"a stored policy of 35000 domains in each configuration", numberedDomains(35000), 20, false,
       false},
  };
  for (const auto& c : cases) {
    TamrinPolicy policy(window(240, 1200, c.domains));
    policy.resolvedAddresses = addresses(c.addressCount);
    policy.pendingConfiguration = window(300, 1000, c.domains);
    policy.pendingResolvedAddresses = addresses(c.addressCount);
    policy.pendingConfigurationAppliesAt = Instant(8e8 + 0.125);
    policy.pendingConfigurationStopsEnforcingAt = Instant(7.9e8);
    const DaemonStatus status{.blocked = true,
                              .managedHostsBlockPresent = true,
                              .managedPacketFilterBlockPresent = false,
                              .policy = policy};

    const std::string encoded = encodeReportableStatus(status);
    EXPECT_LE(encoded.size(), kMaxStatusBytes) << c.name;
    DaemonStatus reported = decodeDaemonStatus(encoded);
    if (c.whole) {
      EXPECT_EQ(encoded, encodeDaemonStatus(status)) << c.name;
    }
    // What is cut is cut from the end; everything else is as it was.
    TamrinPolicy cut = reported.policy.value();
    for (auto* list : {&cut.configuration.domains, &cut.pendingConfiguration->domains}) {
      EXPECT_TRUE(c.domainsWhole ? *list == c.domains : isPrefix(*list, c.domains)) << c.name;
      EXPECT_FALSE(list->empty()) << c.name;
      *list = c.domains;
    }
    EXPECT_TRUE(isPrefix(*cut.resolvedAddresses, *policy.resolvedAddresses)) << c.name;
    EXPECT_TRUE(isPrefix(*cut.pendingResolvedAddresses, *policy.pendingResolvedAddresses))
        << c.name;
    cut.resolvedAddresses = policy.resolvedAddresses;
    cut.pendingResolvedAddresses = policy.pendingResolvedAddresses;
    reported.policy = cut;
    EXPECT_EQ(reported, status) << c.name;
  }
}

}  // namespace
}  // namespace tamrin
