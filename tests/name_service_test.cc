// The name-service module loaded by glibc through a private nsswitch.conf, in the sandbox.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

TEST(NameServiceModuleTest, GetaddrinfoFollowsTheSuffixList) {
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(testing::runScenario("name_service.sh", std::chrono::seconds(60)));
}

}  // namespace
}  // namespace tamrin
