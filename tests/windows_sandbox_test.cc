// The real daemon of the bundle with a schedule of several windows, in private namespaces
// (scripts/sandbox); the scenario lives in tests/e2e/ and reports one line per check.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

// Two windows with a minute free between them, on a clock moved by libfaketime: the block ends
// at the first window's access instant and starts at the second's focus instant, and status
// reports both. Waits about 80 s.
TEST(WindowsSandboxTest, TwoWindowDay) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(testing::runScenario("two_windows.sh", std::chrono::seconds(150)));
}

// Two named blocks with their own sites and hours, on a clock moved by libfaketime: each
// block's sites are sunk and refused at its own hours only, and a change made during one block
// is staged for that block alone. Waits about 90 s.
TEST(WindowsSandboxTest, NamedBlocksEachAtTheirOwnHours) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(testing::runScenario("named_blocks.sh", std::chrono::seconds(180)));
}

}  // namespace
}  // namespace tamrin
