// The real daemon of the bundle against other tables' rewrites, forwarded traffic and the
// removal of its packet-filter tool, in private namespaces (scripts/sandbox); the scenario
// lives in tests/e2e/ and reports one line per check.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

TEST(FilterSandboxTest, RewritesForwardingAndARemovedToolLeaveTheBlockInForce) {
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(
      testing::runScenario("filter_escapes.sh", std::chrono::seconds(120)));
}

}  // namespace
}  // namespace tamrin
