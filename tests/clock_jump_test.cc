// The real daemon in the sandbox with its wall clock moved by libfaketime during a block.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

// Three hours forward during a block of one to two minutes: the block holds until its real
// length has passed (hosts block repaired after the jump), then ends by itself.
TEST(ClockJumpTest, ABlockLastsItsRealLength) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(testing::runScenario("clock_jump.sh", std::chrono::seconds(200)));
}

}  // namespace
}  // namespace tamrin
