// The kernel plumbing of reading names on the wire, proved on this kernel in private
// namespaces (scripts/sandbox, real nftables and conntrack): the names table's copies reach
// PacketCopies, a destroyed socket aborts its connection before the server answers, and the
// filter rejects further packets of a connection marked refused, for TCP and UDP. Each test
// runs itself again inside the sandbox; the outer run checks the host's ruleset stayed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/packet_filter_rules.h"
#include "core/pfctl_wire.h"
#include "core/unique_fd.h"
#include "daemon/enforcement/flow_marks.h"
#include "daemon/enforcement/packet_copies.h"
#include "daemon/enforcement/socket_destroy.h"
#include "daemon/enforcement/wire_flow_judge.h"
#include "daemon/enforcement/wire_names_layer.h"
#include "tests/support/sandbox_scenario.h"

extern char** environ;

namespace tamrin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInsideVariable = "TAMRIN_WIRE_TEST_IN_SANDBOX";
constexpr const char* kServer = "10.77.0.2";  // on lo inside the sandbox
constexpr int kWaitMs = 5000;                 // only so that a broken kernel cannot hang the test

// Runs `argv` (no shell) and returns its exit status, or -1.
int run(const std::vector<std::string>& argv,
        const std::vector<std::string>& extraEnvironment = {}) {
  std::vector<char*> args, env;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  for (const std::string& entry : extraEnvironment) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), env.data()) != 0) return -1;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string output(const char* command) {
  std::string text;
  if (FILE* pipe = popen(command, "r")) {
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    pclose(pipe);
  }
  return text;
}

// Inside the sandbox: true. Outside: runs the current test again in it and returns false.
[[nodiscard]] bool insideSandbox() {
  if (std::getenv(kInsideVariable) != nullptr) return true;
  if (const auto reason = testing::sandboxUnavailableReason()) {
    if (testing::runningUnderCi()) {
      ADD_FAILURE() << "CI=true, yet " << *reason;
    } else {
      [&] { GTEST_SKIP() << *reason; }();
    }
    return false;
  }
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string rulesetBefore = output("nft list ruleset");
  EXPECT_EQ(run({fs::path(std::getenv("TAMRIN_SOURCE_DIR")) / "scripts/sandbox",
                 fs::read_symlink("/proc/self/exe"),
                 std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
                {std::string(kInsideVariable) + "=1"}),
            0);
  EXPECT_EQ(output("nft list ruleset"), rulesetBefore) << "the host's ruleset changed";
  return false;
}

int pfctl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {fs::path(std::getenv("TAMRIN_BUNDLE_DIR")) /
                                   "libexec/tamrin-pfctl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run(argv);
}

sockaddr_in serverAddress(std::uint16_t port) {
  sockaddr_in address{
      .sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {}, .sin_zero = {}};
  inet_pton(AF_INET, kServer, &address.sin_addr);
  return address;
}

UniqueFd boundServer(int type, std::uint16_t port = 443) {
  UniqueFd server(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  const sockaddr_in address = serverAddress(port);
  EXPECT_EQ(bind(server.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  if (type == SOCK_STREAM) {
    EXPECT_EQ(listen(server.get(), 16), 0);
  }
  return server;
}

UniqueFd connectedClient(int type, std::uint16_t port = 443) {
  UniqueFd client(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  const sockaddr_in address = serverAddress(port);
  EXPECT_EQ(connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return client;
}

std::uint16_t localPort(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

void sendText(int fd, const std::string& text) {
  EXPECT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// What the next read of `fd` gives within kWaitMs: the bytes, or "error <errno name>".
std::string nextRead(int fd) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, kWaitMs) != 1) return "nothing";
  char buffer[512];
  const ssize_t count = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (count < 0) return std::string("error ") + strerrorname_np(errno);
  return std::string(buffer, static_cast<std::size_t>(count));
}

// What a test's own reading of an IPv4 copy finds: the tuple and the payload.
struct Copy {
  FlowTuple flow;
  std::string payload;
};

std::optional<Copy> parse(std::span<const std::uint8_t> packet) {
  if (packet.size() < 20 || packet[0] >> 4 != 4) return std::nullopt;
  const std::size_t ipLength = (packet[0] & 0xf) * 4u;
  const std::uint8_t protocol = packet[9];
  const std::size_t total = packet[2] << 8 | packet[3];
  if (packet.size() < ipLength + 8 || total > packet.size()) return std::nullopt;
  Copy copy{.flow = {.protocol = protocol}, .payload = {}};
  std::memcpy(copy.flow.source.data(), &packet[12], 4);
  std::memcpy(copy.flow.destination.data(), &packet[16], 4);
  const auto* transport = &packet[ipLength];
  copy.flow.sourcePort = static_cast<std::uint16_t>(transport[0] << 8 | transport[1]);
  copy.flow.destinationPort = static_cast<std::uint16_t>(transport[2] << 8 | transport[3]);
  const std::size_t header = protocol == IPPROTO_TCP ? (transport[12] >> 4) * 4u : 8u;
  if (ipLength + header > total) return std::nullopt;
  copy.payload.assign(reinterpret_cast<const char*>(transport + header), total - ipLength - header);
  return copy;
}

// Reads copies until one carries a payload from the local port `port`; every copy read is
// added to `seen`.
std::optional<Copy> copyFrom(PacketCopies& copies, std::uint16_t port,
                             std::vector<Copy>* seen = nullptr) {
  std::optional<Copy> found;
  while (!found) {
    pollfd ready{copies.fd(), POLLIN, 0};
    if (poll(&ready, 1, kWaitMs) != 1) return std::nullopt;
    copies.readWaiting([&](std::span<const std::uint8_t> packet) {
      const auto copy = parse(packet);
      if (!copy) return;
      if (seen != nullptr) seen->push_back(*copy);
      if (!found && copy->flow.sourcePort == port && !copy->payload.empty()) found = copy;
    });
  }
  return found;
}

TEST(WireSandboxTest, CopiesReachTheReaderAndDestroyedOrRefusedFlowsStop) {
  if (!insideSandbox()) return;
  ASSERT_EQ(pfctl(pfctlInspectNames()), 0);
  const std::string list = std::string(std::getenv("TAMRIN_BUNDLE_DIR")) +
                           "/libexec/tamrin-pfctl -a com.apple/app.tamrin -sr 2>&1";
  ASSERT_EQ(output(list.c_str()), "") << "the names chains list no rule line";
  PacketCopies copies(kPacketCopyGroup);
  SocketDestroyer sockets;
  FlowMarks marks;
  const UniqueFd server = boundServer(SOCK_STREAM);

  // Destroyed: the client sees the connection aborted, never the server's answer.
  const UniqueFd aborted = connectedClient(SOCK_STREAM);
  const UniqueFd abortedPeer(accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
  sendText(aborted.get(), "GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n");
  const auto first = copyFrom(copies, localPort(aborted.get()));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->payload, "GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n");
  EXPECT_EQ(first->flow.protocol, IPPROTO_TCP);
  EXPECT_EQ(first->flow.destinationPort, 443);
  EXPECT_EQ(sockets.destroy(first->flow), std::error_code());
  EXPECT_EQ(marks.mark(first->flow, kFlowMarkRefused), std::error_code());
  send(abortedPeer.get(), "answer", 6, MSG_NOSIGNAL);
  EXPECT_EQ(nextRead(aborted.get()), "error ECONNABORTED");
  EXPECT_EQ(sockets.destroy(first->flow),
            std::make_error_code(std::errc::no_such_file_or_directory));

  // Marked refused only: the next packet the client sends meets a reset.
  const UniqueFd reset = connectedClient(SOCK_STREAM);
  const UniqueFd resetPeer(accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
  sendText(reset.get(), "first");
  const auto second = copyFrom(copies, localPort(reset.get()));
  ASSERT_TRUE(second);
  EXPECT_EQ(nextRead(resetPeer.get()), "first");
  EXPECT_EQ(marks.mark(second->flow, kFlowMarkRefused), std::error_code());
  sendText(reset.get(), "more");
  EXPECT_EQ(nextRead(reset.get()), "error ECONNRESET");
  char byte;
  EXPECT_EQ(recv(resetPeer.get(), &byte, 1, MSG_DONTWAIT), -1) << "\"more\" never left";

  // Marked passed: it flows, and no copy of it is made any more (the copy of a UDP datagram
  // sent after it comes first).
  const UniqueFd passed = connectedClient(SOCK_STREAM);
  const UniqueFd passedPeer(accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
  sendText(passed.get(), "hello");
  const auto third = copyFrom(copies, localPort(passed.get()));
  ASSERT_TRUE(third);
  EXPECT_EQ(marks.mark(third->flow, kFlowMarkPassed), std::error_code());
  EXPECT_EQ(nextRead(passedPeer.get()), "hello");
  sendText(passed.get(), "later");
  EXPECT_EQ(nextRead(passedPeer.get()), "later");
  const UniqueFd udpServer = boundServer(SOCK_DGRAM);
  const UniqueFd sentinel = connectedClient(SOCK_DGRAM);
  sendText(sentinel.get(), "sentinel");
  std::vector<Copy> seen;
  ASSERT_TRUE(copyFrom(copies, localPort(sentinel.get()), &seen));
  for (const Copy& copy : seen) EXPECT_NE(copy.flow.sourcePort, third->flow.sourcePort);
  EXPECT_EQ(nextRead(udpServer.get()), "sentinel");

  // UDP 443 marked refused: the next datagram is rejected with port unreachable.
  const UniqueFd quic = connectedClient(SOCK_DGRAM);
  sendText(quic.get(), "initial");
  const auto datagram = copyFrom(copies, localPort(quic.get()));
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->flow.protocol, IPPROTO_UDP);
  EXPECT_EQ(nextRead(udpServer.get()), "initial");
  EXPECT_EQ(marks.mark(datagram->flow, kFlowMarkRefused), std::error_code());
  // The filter drops it on its way out, so the send itself may already fail.
  send(quic.get(), "retry", 5, MSG_NOSIGNAL);
  EXPECT_EQ(nextRead(quic.get()), "error ECONNREFUSED");
  EXPECT_EQ(recv(udpServer.get(), &byte, 1, MSG_DONTWAIT), -1) << "\"retry\" never arrived";

  // UDP destroyed: the client's socket is aborted.
  const UniqueFd quicDestroyed = connectedClient(SOCK_DGRAM);
  sendText(quicDestroyed.get(), "initial 2");
  const auto datagram2 = copyFrom(copies, localPort(quicDestroyed.get()));
  ASSERT_TRUE(datagram2);
  EXPECT_EQ(sockets.destroy(datagram2->flow), std::error_code());
  EXPECT_EQ(nextRead(quicDestroyed.get()), "error ECONNABORTED");

  // A reader that falls behind loses copies, counts the loss and reads on.
  const UniqueFd flood = connectedClient(SOCK_DGRAM);
  for (int i = 0; i < 30000; ++i) send(flood.get(), "x", 1, MSG_NOSIGNAL);
  EXPECT_GT(copies.readWaiting([](std::span<const std::uint8_t>) {}), 0u);
  const UniqueFd after = connectedClient(SOCK_DGRAM);
  sendText(after.get(), "after the flood");
  EXPECT_TRUE(copyFrom(copies, localPort(after.get())));
  EXPECT_GT(copies.overruns(), 0u);
  EXPECT_THROW(PacketCopies{kPacketCopyGroup}, std::system_error) << "one reader per group";

  ASSERT_EQ(pfctl(pfctlStopInspectingNames()), 0);
  EXPECT_EQ(output("nft list tables"), "") << "a table for the names alone goes with them";
}

// The whole layer as the daemon runs it: the wire room's inspector reads the HTTP Host.
TEST(WireSandboxTest, TheLayerStopsTheFlowItRefusesAndLetsTheOthersThrough) {
  if (!insideSandbox()) return;
  ASSERT_EQ(pfctl(pfctlInspectNames()), 0);
  WireNamesLayer layer({.openKernel = openWireKernel,
                        .newJudge = [] { return newWireFlowJudge(); },
                        .now = [] { return 1.0; }});
  std::vector<std::string> inForce;
  std::map<std::string, std::string> problems;
  layer.reconcile(true, {"blocked.example"}, inForce, problems);
  EXPECT_EQ(inForce, std::vector<std::string>{"namesOnTheWire"});
  EXPECT_TRUE(problems.empty()) << problems.begin()->second;

  const UniqueFd server = boundServer(SOCK_STREAM, 80);
  const UniqueFd blocked = connectedClient(SOCK_STREAM, 80);
  const UniqueFd blockedPeer(accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
  sendText(blocked.get(), "GET / HTTP/1.1\r\nHost: www.Blocked.example\r\n\r\n");
  EXPECT_EQ(nextRead(blocked.get()), "error ECONNABORTED");
  EXPECT_EQ(layer.counts().refusedFlows, 1u);

  const UniqueFd allowed = connectedClient(SOCK_STREAM, 80);
  const UniqueFd allowedPeer(accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
  sendText(allowed.get(), "GET / HTTP/1.1\r\nHost: allowed.example\r\n\r\n");
  EXPECT_NE(nextRead(allowedPeer.get()).find("allowed.example"), std::string::npos);
  sendText(allowedPeer.get(), "HTTP/1.1 204 No Content\r\n\r\n");
  EXPECT_EQ(nextRead(allowed.get()), "HTTP/1.1 204 No Content\r\n\r\n");

  WireNamesLayer second({.openKernel = openWireKernel,
                         .newJudge = [] { return newWireFlowJudge(); },
                         .now = [] { return 1.0; }});
  std::vector<std::string> secondInForce;
  std::map<std::string, std::string> secondProblems;
  second.reconcile(true, {"blocked.example"}, secondInForce, secondProblems);
  EXPECT_TRUE(secondInForce.empty());
  EXPECT_NE(secondProblems["namesOnTheWire"].find("binding log group 7461"), std::string::npos)
      << secondProblems["namesOnTheWire"];

  inForce.clear();
  layer.reconcile(false, {}, inForce, problems);
  EXPECT_TRUE(inForce.empty());
  EXPECT_EQ(layer.counts().refusedFlows, 0u);
}

}  // namespace
}  // namespace tamrin
