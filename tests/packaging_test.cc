// What the package ships, checked from the source tree: the manual pages lint clean, the
// unit's systemd exposure, the bash completion against the real command table, the version
// tamrinctl prints; and two sandbox scenarios: the daemon under the unit's limits, and the
// package installed, refused removal during a block and removed after it.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/sandbox_scenario.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

using std::chrono::seconds;
using testing::expectScenarioPassed;
using testing::runningUnderCi;
using testing::runScenario;

std::string sourceDir() { return std::getenv("TAMRIN_SOURCE_DIR"); }
std::string bundleDir() { return std::getenv("TAMRIN_BUNDLE_DIR"); }

struct ShellRun {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

std::string contents(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Runs `script` with bash, standard input from /dev/null.
ShellRun shell(const std::string& script) {
  const ScratchDirectory scratch("packaging");
  std::ofstream(scratch.path() / "script") << script;
  const std::string command = "bash '" + (scratch.path() / "script").string() + "' </dev/null >'" +
                              (scratch.path() / "out").string() + "' 2>'" +
                              (scratch.path() / "err").string() + "'";
  const int status = std::system(command.c_str());
  return ShellRun{.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                  .out = contents(scratch.path() / "out"),
                  .err = contents(scratch.path() / "err")};
}

std::set<std::string> words(const std::string& text) {
  std::istringstream stream(text);
  std::set<std::string> result;
  for (std::string word; stream >> word;) result.insert(word);
  return result;
}

TEST(PackagingTest, ManualPagesLintClean) {
  for (const char* page : {"packaging/man/tamrinctl.1", "packaging/man/TamrinDaemon.8"}) {
    const ShellRun run = shell("MANWIDTH=80 man --warnings -E UTF-8 -l '" + sourceDir() + "/" +
                               page + "' >/dev/null");
    EXPECT_EQ(run.exitStatus, 0) << page << ": " << run.err;
    EXPECT_EQ(run.err, "") << page;
  }
}

TEST(PackagingTest, UnitExposureIsAtMostTwoAndAHalf) {
  const ShellRun run = shell("systemd-analyze security --offline=true --no-pager '" + sourceDir() +
                             "/packaging/tamrin-daemon.service'");
  std::smatch match;
  ASSERT_TRUE(
      std::regex_search(run.out, match, std::regex(R"(Overall exposure level for \S+: ([0-9.]+))")))
      << run.out << run.err;
  EXPECT_LE(std::stod(match[1]), 2.5) << run.out;
}

// The completion offers only words tamrinctl accepts as a command, and nothing after one.
TEST(PackagingTest, CompletionOffersTheAcceptedCommands) {
  const std::string completion = sourceDir() + "/packaging/bash-completion/tamrinctl";
  auto complete = [&](const std::string& line) {
    return shell("source '" + completion + "'\nCOMP_WORDS=(" + line + ")\n" +
                 "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_tamrinctl\n"
                 "printf '%s\\n' \"${COMPREPLY[@]}\"");
  };
  const std::set<std::string> offered = words(complete("tamrinctl ''").out);
  ASSERT_FALSE(offered.empty());
  for (const std::string& word : offered) {
    const ShellRun run = shell("'" + bundleDir() + "/bin/tamrinctl' '" + word + "'");
    EXPECT_NE(run.exitStatus, 2) << word << " is offered but not accepted: " << run.err;
  }
  EXPECT_EQ(words(complete("tamrinctl --").out), (std::set<std::string>{"--help", "--version"}));
  EXPECT_EQ(words(complete("tamrinctl st").out), std::set<std::string>{"status"});
  EXPECT_TRUE(words(complete("tamrinctl status ''").out).empty());
}

TEST(PackagingTest, VersionIsTheChangelogs) {
  std::ifstream changelog(sourceDir() + "/debian/changelog");
  std::string top;
  std::getline(changelog, top);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(top, match, std::regex(R"(^tamrin \(([^)]+)\))"))) << top;
  const ShellRun run = shell("'" + bundleDir() + "/bin/tamrinctl' --version");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "tamrinctl " + match[1].str() + "\n");
  EXPECT_EQ(run.err, "");
}

// The daemon with exactly the unit's capabilities, no new privileges and a read-only system
// but its own paths: a whole block, repair by the timer, a client of another user, removal.
TEST(PackagingTest, DaemonUnderTheUnitsLimits) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("confined_daemon.sh", seconds(150)));
}

// dpkg -i, the daemon from the unit's ExecStart, dpkg -r refused without a daemon and during the
// block, an upgrade during the block, dpkg -r after it. Needs build/tamrin_*.deb (make deb).
TEST(PackagingTest, PackageInstallRefusedRemovalAndRemoval) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  expectScenarioPassed(runScenario("package.sh", seconds(150)));
}

// The package in a Debian 12 container under its own systemd: the unit at boot, its exposure,
// a real block that the unit's stop, restart, a kill, an upgrade and a removal cannot lift,
// and the unit and removal after it. Needs build/tamrin_*.deb (make deb), mmdebstrap,
// systemd-nspawn, and Debian's registry until scripts/systemd-root has kept the root.
TEST(PackagingTest, ServiceUnderRealSystemd) {
  TAMRIN_SLOW_SCENARIO();
  TAMRIN_REQUIRE_SANDBOX();
  const std::string source = sourceDir();
  const ShellRun root = shell(
      "for tool in mmdebstrap systemd-nspawn; do command -v $tool >/dev/null || "
      "{ echo \"$tool is not installed\" >&2; exit 1; }; done\n"
      "shopt -s nullglob\npackages=('" +
      source + "'/build/tamrin_*.deb)\n" + "[ ${#packages[@]} -ne 1 ] || '" + source +
      "/scripts/systemd-root' \"$packages\"");
  if (root.exitStatus != 0) {
    const std::string reason = "no Debian root to boot: " + root.err;
    if (runningUnderCi()) FAIL() << "CI=true, yet " << reason;
    GTEST_SKIP() << reason;
  }
  expectScenarioPassed(runScenario("systemd_service.sh", seconds(300)));
}

}  // namespace
}  // namespace tamrin
