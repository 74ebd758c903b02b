// The direct resolver and the daemon's address refresh against a real DNS server (dnsmasq)
// in private namespaces (scripts/sandbox). The scenarios live in tests/e2e/.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

using std::chrono::seconds;
using testing::expectScenarioPassed;
using testing::runScenario;

// Answers with TTLs, a thousand-record answer over TCP capped to 64, local kinds dropped, an
// absent name; a server that stops answering or is down: incomplete, within the time limit.
TEST(AddressRefreshSandboxTest, DirectResolverAgainstARealServer) {
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("dns_resolver.sh", seconds(60)));
}

// A site moved during a block is refused at its new address within a minute, still at the old
// one, and the policy file holds both.
TEST(AddressRefreshSandboxTest, ASiteThatMovesDuringABlockStaysBlocked) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("address_refresh.sh", seconds(90)));
}

}  // namespace
}  // namespace tamrin
