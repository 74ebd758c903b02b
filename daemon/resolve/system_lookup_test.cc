#include "daemon/resolve/system_lookup.h"

#include <gtest/gtest.h>

#include "tests/support/configurations.h"
#include "tests/support/local_time.h"

namespace tamrin {
namespace {

using testing::utcInstant;
using testing::window;
using Addresses = std::vector<std::string>;

const Calendar kUtc = Calendar::named("UTC");
const Instant kOutside = utcInstant(2026, 3, 2, 21, 0);  // 04:00-20:00 blocks every day

TamrinPolicy staged() {
  TamrinPolicy policy(window(240, 1200, {"old.org"}));
  policy.resolvedAddresses = {{"192.0.2.1"}};
  policy.pendingConfiguration = window(360, 1080, {"new.org"});
  policy.pendingConfigurationStopsEnforcingAt = kOutside - 60;
  policy.pendingConfigurationAppliesAt = kOutside + 3600 * 9;
  return policy;
}

TEST(SystemLookupTest, PlansTheListThatIsMissing) {
  TamrinPolicy bare(window(240, 1200, {"old.org"}));
  TamrinPolicy resolved = bare;
  resolved.resolvedAddresses = {{"192.0.2.1"}};
  TamrinPolicy stagedWithAddresses = staged();
  stagedWithAddresses.pendingResolvedAddresses = {{"192.0.2.2"}};
  struct Case {
    const char* name;
    TamrinPolicy policy;
    bool blocking;
    std::optional<SystemLookupPlan> plan;
  } const cases[] = {
      {"blocking without addresses", bare, true, SystemLookupPlan{{"old.org"}, false}},
      {"blocking with addresses", resolved, true, std::nullopt},
      {"outside without addresses", bare, false, SystemLookupPlan{{"old.org"}, false}},
      {"outside with addresses", resolved, false, std::nullopt},
      {"a staged change ahead of its block", staged(), false, SystemLookupPlan{{"new.org"}, true}},
      {"a staged change already resolved", stagedWithAddresses, false, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(planSystemLookup(c.policy, c.blocking, kOutside, kUtc), c.plan) << c.name;
  }
}

TEST(SystemLookupTest, StoresRoutableCappedAnswersOnlyWhileThePolicyStillLacksThem) {
  const SystemLookupPlan plan{{"new.org"}, true};
  const Addresses answers = {"127.0.0.1", "169.254.169.254", "198.51.100.7", "0.0.0.0"};
  const auto updated = policyAfterSystemLookup(staged(), plan, answers);
  ASSERT_TRUE(updated);
  EXPECT_EQ(updated->pendingResolvedAddresses, Addresses{"198.51.100.7"});
  EXPECT_EQ(updated->resolvedAddresses, staged().resolvedAddresses);

  Addresses many;
  for (int i = 0; i < 300; ++i)
    many.push_back("10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200));
  EXPECT_EQ(policyAfterSystemLookup(staged(), plan, many)->pendingResolvedAddresses->size(),
            128u);  // new.org and www.new.org: 64 each

  TamrinPolicy replaced = staged();
  replaced.pendingConfiguration->domains = {"other.org"};
  TamrinPolicy applied = staged();
  applied.pendingConfiguration.reset();
  TamrinPolicy filled = staged();
  filled.pendingResolvedAddresses = {{"192.0.2.9"}};
  EXPECT_FALSE(policyAfterSystemLookup(replaced, plan, answers)) << "other sites staged";
  EXPECT_FALSE(policyAfterSystemLookup(applied, plan, answers)) << "the change took over";
  EXPECT_FALSE(policyAfterSystemLookup(filled, plan, answers)) << "resolved meanwhile";
  EXPECT_FALSE(policyAfterSystemLookup(staged(), plan, {"127.0.0.1", "::"})) << "none usable";
  EXPECT_FALSE(policyAfterSystemLookup(staged(), {{"old.org"}, false}, answers))
      << "the current list is there already";
}

}  // namespace
}  // namespace tamrin
