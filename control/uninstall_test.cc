#include "control/uninstall.h"

#include <gtest/gtest.h>

#include <system_error>

#include "core/daemon_client.h"
#include "core/tamrin_error.h"

namespace tamrin {
namespace {

struct Outcome {
  int exitStatus;
  std::vector<std::string> errors;
  int requests;
};

Outcome uninstall(std::vector<std::string> arguments, const std::function<void()>& daemon) {
  Outcome outcome{.exitStatus = -1, .errors = {}, .requests = 0};
  outcome.exitStatus = runUninstall(
      arguments,
      [&] {
        ++outcome.requests;
        daemon();
      },
      [&](std::string_view bytes) { outcome.errors.emplace_back(bytes); });
  return outcome;
}

TEST(UninstallTest, AgreementIsSilent) {
  const Outcome outcome = uninstall({}, [] {});
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_TRUE(outcome.errors.empty());
  EXPECT_EQ(outcome.requests, 1);
}

TEST(UninstallTest, FailuresPrintTheirMessageAndExitOne) {
  struct Case {
    const char* name;
    std::function<void()> daemon;
    std::string line;
  } const cases[] = {
      {"refused during a block",
       [] {
         throw TamrinClientError::remote(
             TamrinError(TamrinError::Kind::focusRemovalLocked).errorDescription());
       },
       "error: Tamrin can’t be removed during an active block. Try again when access "
       "returns.\n"},
      {"daemon not running",
       [] {
         throw DaemonConnectionError(DaemonConnectionError::Kind::notRunning,
                                     "The Tamrin daemon is not running (no socket).");
       },
       "error: The Tamrin daemon is not running (no socket).\n"},
      {"silent daemon", [] { throw TamrinClientError::timeout(); },
       "error: Tamrin did not reply within three seconds.\n"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = uninstall({}, c.daemon);
    EXPECT_EQ(outcome.exitStatus, 1) << c.name;
    EXPECT_EQ(outcome.errors, std::vector<std::string>{c.line}) << c.name;
  }
}

TEST(UninstallTest, ArgumentsAreRefusedWithoutAsking) {
  const Outcome outcome = uninstall({"--force"}, [] {});
  EXPECT_EQ(outcome.exitStatus, 2);
  EXPECT_EQ(outcome.errors, std::vector<std::string>{"error: Usage: tamrin-uninstall\n"});
  EXPECT_EQ(outcome.requests, 0);
}

}  // namespace
}  // namespace tamrin
