// Start-up of the real daemon in private namespaces (scripts/sandbox): the run directory it
// takes over, the schedules it refuses, and what killed daemons leave behind.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

using std::chrono::seconds;

// A foreign /run/tamrin made ours under umask 077; endless schedules refused, and a stored
// one replaced or removed; browser-policy temporaries of killed daemons cleaned at the next
// start.
TEST(StartupSandboxTest, OwnsItsRunDirectoryRefusesEndlessSchedulesAndCleansAfterKills) {
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(testing::runScenario("startup.sh", seconds(240)));
}

// A schedule set through /etc/tamrin/configuration.json: applied at once, a change staged
// behind the block, configure refused while the file exists, broken files shown and ignored.
TEST(StartupSandboxTest, AppliesTheManagedConfigurationFileAndRefusesConfigureWhileItExists) {
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(testing::runScenario("managed_configuration.sh", seconds(90)));
}

}  // namespace
}  // namespace tamrin
