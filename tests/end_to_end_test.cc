// Tamrin as a user meets it: installed with scripts/install, driven with tamrinctl and removed
// with `make uninstall`, all inside private namespaces (scripts/sandbox) against a local test
// site. The scenarios live in tests/e2e/ and report one line per check.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

using std::chrono::seconds;
using testing::expectScenarioPassed;
using testing::runScenario;

// Install over an older copy, the installed copy sealed and served; removal asks the daemon
// first, changes nothing when it cannot, and removes the bundle, unit and link when it agrees.
TEST(EndToEndTest, InstallAndUninstall) {
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("install.sh", seconds(120)));
}

// One block from enabling to removal: status against the schedule, the site refused by name and
// address while another port works, a staged change, repair by the timer with the mismatch
// shown while repair fails, SIGKILL and restart, removal refused during the block and allowed
// after it. Waits for two timer passes (at most about two minutes).
TEST(EndToEndTest, BlockFromConfigureToUninstall) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("block_lifecycle.sh", seconds(280)));
}

}  // namespace
}  // namespace tamrin
