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

}  // namespace
}  // namespace tamrin
