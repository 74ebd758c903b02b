// The name-service module loaded by glibc through a private nsswitch.conf, in the sandbox.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

TEST(NameServiceModuleTest, GetaddrinfoFollowsTheSuffixList) {
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(testing::runScenario("name_service.sh", std::chrono::seconds(60)));
}

// The module in a program that forks while its threads look names up and the list is
// replaced, and against a list it cannot read at once (a FIFO, a file it may not read).
// A minute of forking: run in the default build only, where the forking program carries no
// sanitizer runtime of its own.
TEST(NameServiceModuleTest, NeverMakesAProgramWait) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(
      testing::runScenario("name_service_fork.sh", std::chrono::seconds(300)));
}

// A block on a suffix rule with the installed programs: getent, curl and headless Chromium sent
// to the sink, Chromium's policy in place, an edited hosts: line put back by the next pass
// (waits for one timer pass, at most about a minute), all gone after the block and removal.
TEST(NameServiceModuleTest, SuffixBlockWithRealPrograms) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(testing::runScenario("suffix_block.sh", std::chrono::seconds(150)));
}

}  // namespace
}  // namespace tamrin
