// The real daemon in private namespaces (scripts/sandbox) losing the state of a running block:
// its policy removed, hidden or edited while stopped, or a fake boot id mounted over the real
// one; the scenario lives in tests/e2e/ and reports one line per check.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

TEST(FailClosedSandboxTest, ABlockOutlivesItsLostState) {
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(testing::runScenario("fail_closed.sh", std::chrono::seconds(240)));
}

}  // namespace
}  // namespace tamrin
