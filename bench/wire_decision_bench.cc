// How long the daemon takes to stop a refused flow once the copy of its first data packet has
// arrived: from the copy in hand to its local socket destroyed and its connection marked
// refused (the work WireNamesLayer does per refused flow, server-name reading aside), and, for
// a passed flow, to the mark alone. TCP connections to a local server on port 443 with the
// names table loaded, one new flow every INTERVAL milliseconds (default 5: 200 flows per
// second; 0: back to back); prints the median and the 99th percentile of each.
// Usage: wire_decision_bench [INTERVAL]
// Run as root: it runs itself again inside scripts/sandbox, so the host's ruleset never changes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/packet_filter_rules.h"
#include "core/pfctl_wire.h"
#include "core/unique_fd.h"
#include "daemon/enforcement/flow_marks.h"
#include "daemon/enforcement/packet_copies.h"
#include "daemon/enforcement/socket_destroy.h"

extern char** environ;

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kInsideVariable = "TAMRIN_WIRE_BENCH_IN_SANDBOX";
constexpr int kFlows = 1000;  // of each kind

fs::path buildDirectory() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }

bool pfctl(PfctlArguments arguments) {
  arguments.insert(arguments.begin(), buildDirectory() / "Tamrin.app/libexec/tamrin-pfctl");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid;
  int status = -1;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 &&
         waitpid(pid, &status, 0) == pid && status == 0;
}

sockaddr_in server() {
  sockaddr_in address{
      .sin_family = AF_INET, .sin_port = htons(443), .sin_addr = {}, .sin_zero = {}};
  inet_pton(AF_INET, "10.77.0.2", &address.sin_addr);
  return address;
}

// The tuple of an IPv4 TCP copy with payload from `port`, or nothing.
std::optional<FlowTuple> dataFrom(std::span<const std::uint8_t> packet, std::uint16_t port) {
  if (packet.size() < 40 || packet[0] >> 4 != 4 || packet[9] != IPPROTO_TCP) return std::nullopt;
  const std::size_t ip = (packet[0] & 0xf) * 4u;
  const std::size_t total = packet[2] << 8 | packet[3];
  const std::size_t tcp = (packet[ip + 12] >> 4) * 4u;
  FlowTuple flow{
      .protocol = IPPROTO_TCP,
      .sourcePort = static_cast<std::uint16_t>(packet[ip] << 8 | packet[ip + 1]),
      .destinationPort = static_cast<std::uint16_t>(packet[ip + 2] << 8 | packet[ip + 3])};
  if (flow.sourcePort != port || total <= ip + tcp) return std::nullopt;
  std::memcpy(flow.source.data(), &packet[12], 4);
  std::memcpy(flow.destination.data(), &packet[16], 4);
  return flow;
}

void print(const char* what, std::vector<double>& micros) {
  std::sort(micros.begin(), micros.end());
  std::printf("%-44s flows %zu  median %7.1f us  p99 %7.1f us\n", what, micros.size(),
              micros[micros.size() / 2], micros[micros.size() * 99 / 100]);
}

int runInsideSandbox(int intervalMs) {
  if (!pfctl(pfctlInspectNames())) {
    std::fprintf(stderr, "wire_decision_bench: tamrin-pfctl cannot load the names table\n");
    return 1;
  }
  PacketCopies copies(kPacketCopyGroup);
  SocketDestroyer sockets;
  FlowMarks marks;
  const UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = server();
  const int on = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), 64) != 0) {
    std::perror("wire_decision_bench: listen on 10.77.0.2:443");
    return 1;
  }
  std::vector<double> refused, passed;
  int failures = 0;
  Clock::time_point nextFlow = Clock::now();
  for (int i = 0; i < 2 * kFlows; ++i) {
    const bool refuse = i % 2 == 0;
    std::this_thread::sleep_until(nextFlow);
    nextFlow += std::chrono::milliseconds(intervalMs);
    const UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ++failures;
      continue;
    }
    const UniqueFd peer(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(client.get(), reinterpret_cast<sockaddr*>(&local), &length);
    send(client.get(), "hello", 5, MSG_NOSIGNAL);
    std::optional<FlowTuple> flow;
    Clock::time_point received;
    while (!flow) {
      pollfd ready{copies.fd(), POLLIN, 0};
      if (poll(&ready, 1, 2000) != 1) break;
      copies.readWaiting([&](std::span<const std::uint8_t> packet) {
        if (flow) return;
        flow = dataFrom(packet, ntohs(local.sin_port));
        received = Clock::now();
      });
    }
    if (!flow) {
      ++failures;
      continue;
    }
    const bool done = refuse ? !sockets.destroy(*flow) && !marks.mark(*flow, kFlowMarkRefused)
                             : !marks.mark(*flow, kFlowMarkPassed);
    const double micros =
        std::chrono::duration<double, std::micro>(Clock::now() - received).count();
    if (!done) ++failures;
    (refuse ? refused : passed).push_back(micros);
  }
  print("copy received -> socket destroyed, refused", refused);
  print("copy received -> marked passed", passed);
  std::printf("one new flow every %d ms\n", intervalMs);
  std::printf("copies lost (ENOBUFS): %llu, flows that failed: %d\n",
              static_cast<unsigned long long>(copies.overruns()), failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace tamrin

int main(int argc, char** argv) {
  if (std::getenv(tamrin::kInsideVariable) != nullptr) {
    return tamrin::runInsideSandbox(argc > 1 ? std::max(0, std::atoi(argv[1])) : 5);
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "wire_decision_bench: run as root (it runs itself in a sandbox)\n");
    return 1;
  }
  const std::filesystem::path sandbox =
      std::filesystem::path(TAMRIN_BENCH_SOURCE_DIR) / "scripts/sandbox";
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  std::vector<char*> arguments = {const_cast<char*>(sandbox.c_str()),
                                  const_cast<char*>(self.c_str())};
  for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
  arguments.push_back(nullptr);
  setenv(tamrin::kInsideVariable, "1", 1);
  execv(sandbox.c_str(), arguments.data());
  std::perror(("wire_decision_bench: " + sandbox.string()).c_str());
  return 1;
}
