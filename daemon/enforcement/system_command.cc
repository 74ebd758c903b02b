#include "daemon/enforcement/system_command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <system_error>

#include "core/system_error.h"
#include "core/tamrin_error.h"
#include "core/unicode_text.h"
#include "core/unique_fd.h"
#include "daemon/enforcement/sealed_executable.h"

namespace tamrin {
namespace {

// Where the bundle is installed; used only when /proc/self/exe cannot be read.
constexpr const char* kInstalledPacketFilterExecutable = "/opt/Tamrin.app/libexec/tamrin-pfctl";

// Releases the spawn description objects on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
};

// The program name and `arguments` as execve takes them; points into the strings.
std::vector<char*> argumentVector(const std::string& name,
                                  const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(name.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Starts the child with `writeEnd` as its standard output and error and every descriptor
// from 3 up closed; the child gets default signal dispositions and an empty signal mask.
pid_t spawnChild(const std::string& executable, const std::vector<std::string>& arguments,
                 int writeEnd) {
  SpawnSetup setup;
  int rc = posix_spawn_file_actions_adddup2(&setup.actions, writeEnd, STDOUT_FILENO);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, writeEnd, STDERR_FILENO);
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
  sigset_t signals;
  sigemptyset(&signals);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attributes, &signals);
  sigfillset(&signals);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attributes, &signals);
  if (rc == 0) {
    rc =
        posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  if (rc != 0) throwErrno(rc, "cannot prepare " + executable);

  std::vector<char*> argv = argumentVector(executable, arguments);
  pid_t pid = 0;
  rc = posix_spawn(&pid, executable.c_str(), &setup.actions, &setup.attributes, argv.data(),
                   environ);
  if (rc != 0) throwErrno(rc, "cannot start " + executable);
  return pid;
}

// Starts `program` as spawnChild starts a file: `writeEnd` as standard output and error, every
// other descriptor closed (the copy itself too, once the exec has opened it), default signal
// dispositions and an empty mask. posix_spawn cannot run a descriptor, hence fork and fexecve.
pid_t forkSealedChild(const SealedExecutable& program, const std::vector<std::string>& arguments,
                      int writeEnd) {
  const std::string name = program.origin().string();
  std::vector<char*> argv = argumentVector(name, arguments);
  int report[2];  // carries the errno of a failed exec; closed by a successful one
  if (::pipe2(report, O_CLOEXEC) != 0) throwErrno(errno, "cannot create a pipe");
  UniqueFd reportRead(report[0]);
  UniqueFd reportWrite(report[1]);

  const pid_t pid = ::fork();
  if (pid < 0) throwErrno(errno, "cannot start " + name);
  if (pid == 0) {
    // Only async-signal-safe calls from here on: the daemon has other threads.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::dup2(writeEnd, STDOUT_FILENO) >= 0 && ::dup2(writeEnd, STDERR_FILENO) >= 0 &&
        ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
      ::fexecve(program.descriptor(), argv.data(), environ);
    }
    const int error = errno;
    [[maybe_unused]] const ssize_t ignored = ::write(reportWrite.get(), &error, sizeof error);
    ::_exit(127);
  }
  reportWrite.reset();
  int error = 0;
  ssize_t count;
  do {
    count = ::read(reportRead.get(), &error, sizeof error);
  } while (count < 0 && errno == EINTR);
  if (count == static_cast<ssize_t>(sizeof error)) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throwErrno(error, "cannot start " + name);
  }
  return pid;
}

// Reads `fd` to its end or until `deadline`. Returns the error number of a failed read,
// ETIMEDOUT when the deadline passed first, or 0.
int readToEnd(int fd, std::string& output, std::chrono::steady_clock::time_point deadline) {
  char buffer[65536];
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return errno;
    if (ready <= 0) continue;
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count > 0) {
      output.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0) {
      return 0;
    } else if (errno != EINTR) {
      return errno;
    }
  }
}

int waitForExit(pid_t pid, const std::string& executable) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throwErrno(errno, "cannot wait for " + executable);
  }
  return status;
}

}  // namespace

namespace {

// Runs the child that `start` starts with the write end of the output pipe, as runSystemCommand
// describes; `executable` names it in messages.
std::string runChild(const std::string& executable, std::chrono::milliseconds timeLimit,
                     const std::function<pid_t(int writeEnd)>& start) {
  const auto deadline = std::chrono::steady_clock::now() + timeLimit;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throwErrno(errno, "cannot create a pipe");
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  const pid_t pid = start(writeEnd.get());
  writeEnd.reset();  // the child holds the only write end now, so its exit ends the stream
  std::string bytes;
  const int readError = readToEnd(readEnd.get(), bytes, deadline);
  readEnd.reset();
  if (readError == ETIMEDOUT) ::kill(pid, SIGKILL);
  const int status = waitForExit(pid, executable);
  if (readError == ETIMEDOUT) {
    const auto milliseconds = timeLimit.count();
    throw TamrinError::packetFilter(executable + " did not finish within " +
                                    (milliseconds % 1000 == 0
                                         ? std::to_string(milliseconds / 1000) + " seconds"
                                         : std::to_string(milliseconds) + " milliseconds"));
  }
  if (readError != 0) throwErrno(readError, "cannot read the output of " + executable);

  const std::string decoded = decodeUtf8Lossy(bytes);
  std::string output(trimWhitespaceAndNewlines(decoded));
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return output;
  if (!output.empty()) throw TamrinError::packetFilter(std::move(output));
  if (WIFSIGNALED(status)) {
    throw TamrinError::packetFilter(executable + " killed by signal " +
                                    std::to_string(WTERMSIG(status)));
  }
  throw TamrinError::packetFilter(executable + " exited " + std::to_string(WEXITSTATUS(status)));
}

}  // namespace

std::string runSystemCommand(const std::string& executable,
                             const std::vector<std::string>& arguments,
                             std::chrono::milliseconds timeLimit) {
  return runChild(executable, timeLimit,
                  [&](int writeEnd) { return spawnChild(executable, arguments, writeEnd); });
}

std::string runSystemCommand(const SealedExecutable& program,
                             const std::vector<std::string>& arguments,
                             std::chrono::milliseconds timeLimit) {
  return runChild(program.origin().string(), timeLimit,
                  [&](int writeEnd) { return forkSealedChild(program, arguments, writeEnd); });
}

const std::filesystem::path& packetFilterExecutable() {
  static const std::filesystem::path executable = [] {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || self.empty()) return std::filesystem::path(kInstalledPacketFilterExecutable);
    return (self.parent_path() / ".." / "libexec" / "tamrin-pfctl").lexically_normal();
  }();
  return executable;
}

const std::filesystem::path& defaultPacketFilterDirectory() {
  static const std::filesystem::path directory("/var/lib/tamrin");
  return directory;
}

}  // namespace tamrin
