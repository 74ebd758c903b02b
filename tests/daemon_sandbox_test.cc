// The real daemon of the bundle, started as a service in private namespaces (scripts/sandbox).
// The scenarios live in tests/e2e/ and report one line per check.
#include <gtest/gtest.h>

#include "tests/support/sandbox_scenario.h"

namespace tamrin {
namespace {

using std::chrono::seconds;
using testing::expectScenarioPassed;
using testing::runScenario;

// No policy, over a hosts block and anchor rules that an earlier run left: the first pass
// removes both before the socket answers; the sealed tamrinctl is served, an unsealed one is
// refused; a filter reference held by someone else is left alone.
TEST(DaemonSandboxTest, FirstPassClearsLeftoversAndOnlySealedClientsAreServed) {
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("daemon_start.sh", seconds(120)));
}

// Seal missing, malformed, a sealed file changed or missing, no enclosing bundle: exit 1 with
// the exact error line, no socket, the hosts file untouched.
TEST(DaemonSandboxTest, RefusesToServeWithoutItsClientRequirement) {
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("daemon_seal.sh", seconds(120)));
}

// One daemon at a time; stale temporaries removed; device and FIFO files answered at once and
// left as they are; a Latin-1 hosts file gets the hosts block and the rules.
TEST(DaemonSandboxTest, OneDaemonAtATimeAndFilesThatAreNotWhatTheySeem) {
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("daemon_hardening.sh", seconds(120)));
}

// Every way of stripping a running block by hand is repaired within a second; floods of
// events neither busy the daemon nor stop it from answering.
TEST(DaemonSandboxTest, TamperingIsRepairedAtOnceAndEventFloodsAreHarmless) {
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("tamper_repair.sh", seconds(120)));
}

// Accounts outside the group tamrin are refused enabling, updating and removal with one line
// and exit 1, and are served the status; an account added to the group while the daemon runs
// may change at once.
TEST(DaemonSandboxTest, OnlyRootAndMembersOfTheGroupTamrinChangeTheSchedule) {
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("authorization.sh", seconds(60)));
}

}  // namespace
}  // namespace tamrin
