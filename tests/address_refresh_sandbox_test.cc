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

// 8,000 sites while the DNS servers never answer (silent, or out of reach): the daemon stays
// up, configure replies, status answers during the lookups, and a block's hosts entries are
// written at once.
TEST(AddressRefreshSandboxTest, ALargeListWithSilentServers) {
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("silent_dns.sh", seconds(120)));
}

}  // namespace
}  // namespace tamrin
