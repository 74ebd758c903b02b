#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace tamrin::testing {

// Why scenarios cannot run on this machine (not root, no unshare, namespaces refused, a tool
// they need is missing), or nothing when they can. Probed once per process.
std::optional<std::string> sandboxUnavailableReason();

// True when the environment variable CI is "true": a test that cannot run must fail there.
bool runningUnderCi();

// How a scenario script ended and what it printed.
struct ScenarioRun {
  int exitStatus = -1;  // -1 when it did not exit by itself
  bool timedOut = false;
  std::string output;  // standard output and standard error, interleaved
};

// Runs tests/e2e/<script> with bash inside scripts/sandbox, passing TAMRIN_BUNDLE_DIR and
// TAMRIN_SOURCE_DIR on. After `limit` the whole sandbox is killed and the run is timed out.
ScenarioRun runScenario(const std::string& script, std::chrono::seconds limit);

// Adds one test failure per "not ok" line of the run, and one when the run timed out, did not
// exit with status 0, or its plan line "1..N" is missing or does not count its "ok" lines.
void expectScenarioPassed(const ScenarioRun& run);

}  // namespace tamrin::testing

// Skips a scenario that waits for minutes when the build runs under a sanitizer: such
// scenarios run in the default build, so a sanitizer run repeats only the quick ones.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAMRIN_SLOW_SCENARIO() GTEST_SKIP() << "minutes of waiting: run in the default build only"
#else
#define TAMRIN_SLOW_SCENARIO() static_cast<void>(0)
#endif

// Skips the current test, with the reason, when scenarios cannot run here; fails it instead
// when CI=true.
#define TAMRIN_REQUIRE_SANDBOX()                                                           \
  do {                                                                                     \
    if (const std::optional<std::string> tamrinReason =                                    \
            ::tamrin::testing::sandboxUnavailableReason()) {                               \
      if (::tamrin::testing::runningUnderCi()) FAIL() << "CI=true, yet " << *tamrinReason; \
      GTEST_SKIP() << *tamrinReason;                                                       \
    }                                                                                      \
  } while (false)
