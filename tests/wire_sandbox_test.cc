// The real daemon of the bundle during a block, against clients that bring their own hosts
// file and name service: flows to blocked names are refused by the names they carry over
// HTTP, TLS and QUIC, other names at the same address are served, and the status counts the
// refusals; in private namespaces (scripts/sandbox), the scenario lives in tests/e2e/.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

TEST(WireSandboxTest, ClientsWithTheirOwnNamesAreRefusedByTheNameOnTheWire) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  testing::expectScenarioPassed(
      testing::runScenario("names_on_the_wire.sh", std::chrono::seconds(180)));
}

}  // namespace
}  // namespace tamrin
