// How much the packet filter costs a connection it lets through: TCP connects to an allowed
// address (10.77.0.2:80) with 10 and with 10,000 blocked addresses loaded by tamrin-pfctl.
// The two figures should stay within 10% of each other, since the addresses live in sets.
//
// Run as root: it runs itself again inside scripts/sandbox, so the host's ruleset never changes.
// The tool is taken from <build>/Tamrin.app/libexec beside this program's <build>/bench.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/file_io.h"
#include "core/packet_filter_rules.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kInsideVariable = "TAMRIN_BENCH_IN_SANDBOX";
constexpr const char* kAllowedAddress = "10.77.0.2";  // added to lo by the sandbox
constexpr int kPort = 80;
constexpr int kRounds = 7;  // the two sizes alternate, against drift of the machine's speed

fs::path buildDirectory() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }

// Runs tamrin-pfctl (its standard output discarded) and ends the program when it fails.
void pfctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), buildDirectory() / "Tamrin.app/libexec/tamrin-pfctl");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int status = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0 ||
      waitpid(pid, &status, 0) != pid || status != 0) {
    std::fprintf(stderr, "pfctl_connect_bench: tamrin-pfctl %s failed\n", arguments[1].c_str());
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
}

// Loads `count` blocked addresses (10.78.0.0 onwards, never the allowed one) unless loaded.
void loadBlockedAddresses(int count) {
  static int loaded = -1;
  if (loaded == count) return;
  std::vector<std::string> addresses;
  for (int i = 0; i < count; ++i) {
    addresses.push_back("10.78." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  }
  tamrin::writeFileAtomically("/run/bench-rules.conf", tamrin::packetFilterRules(addresses), 0600);
  pfctl({"-a", "com.apple/app.tamrin", "-f", "/run/bench-rules.conf"});
  loaded = count;
}

sockaddr_in allowedAddress() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  inet_pton(AF_INET, kAllowedAddress, &address.sin_addr);
  return address;
}

// Accepts connections for ever and closes each once its peer has reset it.
void serve(int listener) {
  for (;;) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) continue;
    char byte;
    while (recv(connection, &byte, 1, 0) > 0) {
    }
    close(connection);
  }
}

void BM_ConnectToAllowedAddress(benchmark::State& state) {
  loadBlockedAddresses(static_cast<int>(state.range(0)));
  const sockaddr_in target = allowedAddress();
  const linger reset = {.l_onoff = 1, .l_linger = 0};  // close with RST: no TIME_WAIT
  for (auto _ : state) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
      close(fd);
      state.SkipWithError("connect to the allowed address failed");
      break;
    }
    close(fd);
  }
}

// Prints every run as usual and keeps the times per connect of each size.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        Times& times = times_[std::stoi(run.run_name.args)];
        times.real.push_back(run.GetAdjustedRealTime());
        times.cpu.push_back(run.GetAdjustedCPUTime());
      }
    }
  }

  // Prints the median times of both sizes and their ratios; false when a size was not measured.
  bool printRatios() {
    const Times& few = times_[10];
    const Times& many = times_[10000];
    if (few.real.empty() || many.real.empty()) return false;
    for (const auto& [name, a, b] :
         {std::tuple{"real", few.real, many.real}, std::tuple{"CPU", few.cpu, many.cpu}}) {
      std::printf(
          "median %s time per connect to an allowed address: %.2f us with 10 blocked, %.2f us "
          "with 10000 blocked; ratio %.3f (target: at most 1.10)\n",
          name, median(a), median(b), median(b) / median(a));
    }
    return true;
  }

 private:
  struct Times {
    std::vector<double> real, cpu;
  };
  static double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }

  std::map<int, Times> times_;
};

int runInsideSandbox(int argc, char** argv) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = allowedAddress();
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 4096) != 0) {
    std::perror("pfctl_connect_bench: listen on 10.77.0.2:80");
    return 1;
  }
  std::thread(serve, listener).detach();
  pfctl({"-E"});

  auto* benchmark =
      benchmark::RegisterBenchmark("BM_ConnectToAllowedAddress", BM_ConnectToAllowedAddress);
  for (int round = 0; round < kRounds; ++round) benchmark->Arg(10)->Arg(10000);
  benchmark->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(0.5);

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  return reporter.printRatios() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(kInsideVariable) != nullptr) return runInsideSandbox(argc, argv);
  if (geteuid() != 0) {
    std::fprintf(stderr, "pfctl_connect_bench: run as root (it runs itself in a sandbox)\n");
    return 1;
  }
  const fs::path sandbox = fs::path(TAMRIN_BENCH_SOURCE_DIR) / "scripts/sandbox";
  const std::string self = fs::read_symlink("/proc/self/exe");
  std::vector<char*> arguments = {const_cast<char*>(sandbox.c_str()),
                                  const_cast<char*>(self.c_str())};
  for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
  arguments.push_back(nullptr);
  setenv(kInsideVariable, "1", 1);
  execv(sandbox.c_str(), arguments.data());
  std::perror(("pfctl_connect_bench: " + sandbox.string()).c_str());
  return 1;
}
