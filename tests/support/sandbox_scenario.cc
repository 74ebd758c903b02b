#include "tests/support/sandbox_scenario.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <vector>

namespace tamrin::testing {
namespace {

using Clock = std::chrono::steady_clock;

// What a killed run may still take to close its output.
constexpr std::chrono::seconds kDrainLimit{5};

// The tools the scenarios use inside the sandbox.
constexpr const char* kProbe =
    "for tool in bash curl python3 make findmnt sed awk timeout; do "
    "command -v \"$tool\" >/dev/null || { echo \"$tool is not installed\"; exit 3; }; done; "
    "for library in /usr/lib/*/faketime/libfaketimeMT.so.1 /usr/lib/faketime/libfaketimeMT.so.1; "
    "do [ -f \"$library\" ] && exit 0; done; echo 'libfaketime is not installed'; exit 3";

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::filesystem::path sourceDirectory() {
  const std::string configured = environmentValue("TAMRIN_SOURCE_DIR");
  if (!configured.empty()) return configured;
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

// Runs `arguments` in its own process group with standard output and error on one pipe;
// kills the group after `limit`.
ScenarioRun runCaptured(const std::vector<std::string>& arguments, std::chrono::seconds limit) {
  ScenarioRun run;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    run.output = std::string("pipe: ") + std::strerror(errno);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawnError = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipeFds[1]);
  if (spawnError != 0) {
    ::close(pipeFds[0]);
    run.output = "cannot start " + arguments[0] + ": " + std::strerror(spawnError);
    return run;
  }

  auto deadline = Clock::now() + limit;
  char buffer[4096];
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      if (run.timedOut) break;  // the killed group still holds the pipe: stop reading
      run.timedOut = true;
      ::kill(-pid, SIGKILL);
      deadline = Clock::now() + kDrainLimit;
      continue;
    }
    pollfd entry{.fd = pipeFds[0], .events = POLLIN, .revents = 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t count = ::read(pipeFds[0], buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(pipeFds[0]);

  int status = 0;
  if (run.timedOut) ::kill(-pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!run.timedOut && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  return run;
}

std::optional<std::string> probeSandbox() {
  if (::geteuid() != 0) {
    return "needs root: the scenarios run the real daemon in private namespaces";
  }
  const std::filesystem::path sandbox = sourceDirectory() / "scripts/sandbox";
  if (!std::filesystem::exists(sandbox)) return "no sandbox script at " + sandbox.string();
  const ScenarioRun probe =
      runCaptured({"bash", sandbox.string(), "bash", "-c", kProbe}, std::chrono::seconds(60));
  if (probe.exitStatus == 0) return std::nullopt;
  std::string reason = probe.output;
  while (!reason.empty() && reason.back() == '\n') reason.pop_back();
  if (reason.empty()) reason = "it ended with status " + std::to_string(probe.exitStatus);
  return "the sandbox cannot run here: " + reason;
}

}  // namespace

std::optional<std::string> sandboxUnavailableReason() {
  static const std::optional<std::string> reason = probeSandbox();
  return reason;
}

bool runningUnderCi() { return environmentValue("CI") == "true"; }

ScenarioRun runScenario(const std::string& script, std::chrono::seconds limit) {
  if (environmentValue("TAMRIN_BUNDLE_DIR").empty()) {
    return ScenarioRun{.output = "TAMRIN_BUNDLE_DIR is not set (run the tests through ctest)"};
  }
  const std::filesystem::path source = sourceDirectory();
  ::setenv("TAMRIN_SOURCE_DIR", source.c_str(), 0);
  return runCaptured({"bash", (source / "scripts/sandbox").string(), "bash",
                      (source / "tests/e2e" / script).string()},
                     limit);
}

void expectScenarioPassed(const ScenarioRun& run) {
  std::istringstream lines(run.output);
  std::string line;
  int passed = 0;
  std::optional<int> planned;
  std::string failure;  // the "not ok" line being reported, with its detail lines
  auto reportFailure = [&failure] {
    if (!failure.empty()) ADD_FAILURE() << failure;
    failure.clear();
  };
  while (std::getline(lines, line)) {
    if (!failure.empty() && line.rfind("#", 0) == 0) {
      failure += "\n" + line;
      continue;
    }
    reportFailure();
    if (line.rfind("not ok", 0) == 0) {
      failure = line;
    } else if (line.rfind("ok ", 0) == 0) {
      ++passed;
    } else if (line.rfind("1..", 0) == 0) {
      planned = std::atoi(line.c_str() + 3);
    }
  }
  reportFailure();
  EXPECT_FALSE(run.timedOut) << "the scenario was killed after its time limit:\n" << run.output;
  EXPECT_EQ(run.exitStatus, 0) << run.output;
  ASSERT_TRUE(planned.has_value()) << "the scenario ended without its plan line:\n" << run.output;
  EXPECT_GT(*planned, 0) << run.output;
  EXPECT_EQ(passed, *planned) << run.output;
}

}  // namespace tamrin::testing
