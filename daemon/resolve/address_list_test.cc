#include "daemon/resolve/address_list.h"

#include <gtest/gtest.h>

#include <limits>

#include "tests/support/configurations.h"
#include "tests/support/local_time.h"

namespace tamrin {
namespace {

using testing::utcInstant;
using testing::window;
using List = std::vector<std::string>;

const Calendar kUtc = Calendar::named("UTC");

DirectResolution answered(List addresses, std::optional<std::uint32_t> ttl = 60) {
  return {.answers = {{.hostname = "example.com", .addresses = std::move(addresses), .ttl = ttl}},
          .complete = true};
}

TEST(AddressRefresh, KeepsOnlyAddressesTheFilterMayHold) {
  for (const char* address : {"93.184.216.34", "10.77.0.2", "2001:db8::1", "::ffff:10.0.0.1"}) {
    EXPECT_TRUE(isRoutableAddress(address)) << address;
  }
  for (const char* address :
       {"0.0.0.0", "0.1.2.3", "127.0.0.1", "127.8.9.1", "169.254.10.1", "224.0.0.251", "239.1.1.1",
        "255.255.255.255", "::", "::1", "fe80::1", "ff02::fb", "::ffff:127.0.0.1", "fe80::1%lo",
        "example.com", "10.0.0.1 ", ""}) {
    EXPECT_FALSE(isRoutableAddress(address)) << address;
  }
}

TEST(AddressRefresh, TakesAtMostSixtyFourAddressesOfEachNameAndDropsLocalOnes) {
  List many;
  for (int i = 0; i < 100; ++i) many.push_back("10.1.0." + std::to_string(i));
  const std::vector<HostAnswer> answers = {
      {.hostname = "big.example", .addresses = many, .ttl = 0},
      {.hostname = "example.com", .addresses = {"127.0.0.1", "10.1.0.99", "fe80::2"}, .ttl = 0},
  };
  const List usable = usableAddresses(answers);
  EXPECT_EQ(usable.size(), kMaxAddressesPerName + 1);  // the first 64 of big, and 10.1.0.99
  EXPECT_NE(std::find(usable.begin(), usable.end(), "10.1.0.63"), usable.end());
  EXPECT_EQ(std::find(usable.begin(), usable.end(), "10.1.0.64"), usable.end());
  EXPECT_TRUE(std::is_sorted(usable.begin(), usable.end()));
  EXPECT_EQ(addressCap(2), 128u);
  EXPECT_EQ(addressCap(1000), kMaxAddressesInAll);
}

TEST(AddressRefresh, MergingAddsOnlyAndStopsAtTheCap) {
  const struct {
    const char* name;
    List current, fresh;
    std::size_t cap;
    List merged;
  } cases[] = {
      {"adds new, keeps old", {"10.0.0.2"}, {"10.0.0.4"}, 128, {"10.0.0.2", "10.0.0.4"}},
      {"nothing new", {"10.0.0.2"}, {"10.0.0.2"}, 128, {"10.0.0.2"}},
      {"from nothing", {}, {"10.0.0.9", "10.0.0.1"}, 128, {"10.0.0.1", "10.0.0.9"}},
      {"cap: lowest new first",
       {"10.0.0.5"},
       {"10.0.0.7", "10.0.0.6"},
       2,
       {"10.0.0.5", "10.0.0.6"}},
      {"over the cap: nothing dropped",
       {"10.0.0.1", "10.0.0.2"},
       {"10.0.0.3"},
       1,
       {"10.0.0.1", "10.0.0.2"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(mergedAddresses(c.current, c.fresh, c.cap), c.merged) << c.name;
}

TEST(AddressRefresh, IntervalFollowsTheShortestTtlWithinBounds) {
  const std::uint32_t huge = std::numeric_limits<std::uint32_t>::max();
  const struct {
    std::optional<std::uint32_t> ttl;
    double interval;
  } cases[] = {{0, 30}, {10, 30}, {45, 45}, {299, 299}, {1u << 31, 300}, {huge, 300}, {{}, 300}};
  for (const auto& c : cases) {
    EXPECT_EQ(refreshInterval(answered({"10.0.0.1"}, c.ttl)), c.interval) << c.ttl.value_or(-1);
  }
  DirectResolution two = answered({"10.0.0.1"}, 200);
  two.answers.push_back({.hostname = "www.example.com", .addresses = {"10.0.0.2"}, .ttl = 40});
  EXPECT_EQ(refreshInterval(two), 40);
  EXPECT_EQ(refreshInterval(answered({"127.0.0.1"}, 200)), kShortestRefreshInterval);
  EXPECT_EQ(refreshInterval({}), kShortestRefreshInterval);
}

// 04:00-20:00 UTC every day.
TamrinPolicy dayPolicy(std::optional<List> addresses) {
  TamrinPolicy policy(window(240, 1200));
  policy.resolvedAddresses = std::move(addresses);
  return policy;
}

TEST(AddressRefresh, PlansGrowthDuringABlockAndAFreshListJustBeforeOne) {
  const TamrinPolicy policy = dayPolicy(List{"10.0.0.2"});
  const Instant inBlock = utcInstant(2026, 3, 2, 10, 0);
  using Kind = RefreshPlan::Kind;
  const struct {
    const char* name;
    Instant at;
    std::optional<Instant> nextRefresh;
    std::optional<Kind> kind;
  } cases[] = {
      {"block, never refreshed", inBlock, std::nullopt, Kind::grow},
      {"block, refresh due", inBlock, inBlock, Kind::grow},
      {"block, refresh not yet due", inBlock, inBlock + 1, std::nullopt},
      {"30 s before the start", utcInstant(2026, 3, 2, 3, 59, 30), std::nullopt, Kind::freshStart},
      {"2 min before the start", utcInstant(2026, 3, 2, 3, 58), std::nullopt, std::nullopt},
      {"30 s before the end", utcInstant(2026, 3, 2, 19, 59, 30), inBlock + 1e6, std::nullopt},
      {"evening", utcInstant(2026, 3, 2, 21, 0), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto plan = planAddressRefresh(policy, c.at, kUtc, c.nextRefresh, 60);
    EXPECT_EQ(plan ? std::optional(plan->kind) : std::nullopt, c.kind) << c.name;
    if (plan) {
      EXPECT_EQ(plan->domains, List{"example.com"}) << c.name;
    }
  }

  TamrinPolicy staged = policy;
  staged.pendingConfiguration = window(240, 1200, {"other.org"});
  staged.pendingConfigurationAppliesAt = utcInstant(2026, 3, 3, 4, 0);
  const auto plan = planAddressRefresh(staged, utcInstant(2026, 3, 3, 3, 59, 30), kUtc, {}, 60);
  ASSERT_TRUE(plan);
  EXPECT_TRUE(plan->pending);
  EXPECT_EQ(plan->domains, List{"other.org"});
}

TEST(AddressRefresh, GrowsDuringABlockAndReplacesBeforeOne) {
  const Instant inBlock = utcInstant(2026, 3, 2, 10, 0);
  const Instant before = utcInstant(2026, 3, 2, 3, 59, 30);
  const RefreshPlan grow{.kind = RefreshPlan::Kind::grow, .domains = {"example.com"}};
  const RefreshPlan fresh{.kind = RefreshPlan::Kind::freshStart, .domains = {"example.com"}};
  DirectResolution partial = answered({"10.0.0.4"});
  partial.complete = false;
  List full;  // 128 addresses: the cap of example.com and www.example.com
  for (int i = 0; i < 128; ++i) full.push_back("10.2.0." + std::to_string(i));

  const struct {
    const char* name;
    RefreshPlan plan;
    Instant at;
    std::optional<List> old, system;
    DirectResolution direct;
    std::optional<List> result;  // absent: no change
  } cases[] = {
      {"block: adds",
       grow,
       inBlock,
       List{"10.0.0.2"},
       {},
       answered({"10.0.0.4", "::1"}),
       List{"10.0.0.2", "10.0.0.4"}},
      {"block: incomplete still adds",
       grow,
       inBlock,
       List{"10.0.0.2"},
       {},
       partial,
       List{"10.0.0.2", "10.0.0.4"}},
      {"block: nothing new", grow, inBlock, List{"10.0.0.2"}, {}, answered({"10.0.0.2"}), {}},
      {"block: no addresses yet", grow, inBlock, {}, {}, answered({"10.0.0.4"}), List{"10.0.0.4"}},
      {"block: at the cap", grow, inBlock, full, {}, answered({"10.0.0.4"}), {}},
      {"block over: plan stale",
       grow,
       utcInstant(2026, 3, 2, 21, 0),
       List{"10.0.0.2"},
       {},
       answered({"10.0.0.4"}),
       {}},
      {"start: replaces",
       fresh,
       before,
       List{"10.0.0.2"},
       {},
       answered({"10.0.0.4"}),
       List{"10.0.0.4"}},
      {"start: both sources", fresh, before, List{"10.0.0.2"}, List{"10.0.0.3"},
       answered({"10.0.0.4"}), List{"10.0.0.3", "10.0.0.4"}},
      {"start: incomplete keeps old and adds", fresh, before, List{"10.0.0.2"}, List{"10.0.0.3"},
       partial, List{"10.0.0.2", "10.0.0.4"}},
      {"start: nothing found keeps old",
       fresh,
       before,
       List{"10.0.0.2"},
       {},
       answered({"127.0.0.1"}),
       {}},
      {"start: plan stale, block began",
       fresh,
       inBlock,
       List{"10.0.0.2"},
       {},
       answered({"10.0.0.4"}),
       {}},
  };
  for (const auto& c : cases) {
    const auto updated =
        policyAfterRefresh(dayPolicy(c.old), c.plan, c.system, c.direct, c.at, kUtc);
    EXPECT_EQ(updated ? updated->resolvedAddresses : std::nullopt, c.result) << c.name;
  }

  // Other domains by now, or the staged list as the target.
  RefreshPlan otherDomains = grow;
  otherDomains.domains = {"other.org"};
  EXPECT_FALSE(policyAfterRefresh(dayPolicy(List{"10.0.0.2"}), otherDomains, {},
                                  answered({"10.0.0.4"}), inBlock, kUtc));
  TamrinPolicy staged = dayPolicy(List{"10.0.0.2"});
  staged.pendingConfiguration = window(240, 1200, {"other.org"});
  RefreshPlan pending = fresh;
  pending.domains = {"other.org"};
  pending.pending = true;
  const auto updated =
      policyAfterRefresh(staged, pending, {}, answered({"10.0.0.4"}), before, kUtc);
  ASSERT_TRUE(updated);
  EXPECT_EQ(updated->pendingResolvedAddresses, List{"10.0.0.4"});
  EXPECT_EQ(updated->resolvedAddresses, List{"10.0.0.2"});
}

}  // namespace
}  // namespace tamrin
