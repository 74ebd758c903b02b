// Runs the real tamrin-pfctl against the kernel's nftables. Every test runs itself again inside
// scripts/sandbox (private network, mount and pid namespaces, tmpfs on /run), so nothing on this
// machine changes; the outer run checks that /etc/hosts and the host's ruleset stay the same.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/packet_filter_rules.h"
#include "core/pfctl_wire.h"

extern char** environ;

namespace tamrin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInsideVariable = "TAMRIN_PFCTL_TEST_IN_SANDBOX";
constexpr int kReplyTimeoutMs = 2000;

struct ProgramRun {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs `argv` (no shell) with `extraEnvironment` added; collects both output streams.
ProgramRun runProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& extraEnvironment = {}) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  for (const std::string& entry : extraEnvironment) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  pid_t pid;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  ProgramRun run;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  for (int open = 2; open > 0 && spawned == 0;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  close(outPipe[0]);
  close(errPipe[0]);
  int wstatus = 0;
  if (spawned == 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
    run.status = WEXITSTATUS(wstatus);
  }
  return run;
}

std::string readOrEmpty(const fs::path& path) {
  try {
    return readFile(path);
  } catch (const std::exception&) {
    return {};
  }
}

// The sandbox runner of this source tree: TAMRIN_SOURCE_DIR when set, else found from this file.
fs::path sandboxScript() {
  const char* source = std::getenv("TAMRIN_SOURCE_DIR");
  const fs::path root =
      source != nullptr ? fs::path(source) : fs::path(__FILE__).parent_path().parent_path();
  return root / "scripts/sandbox";
}

// Empty when this test can run in the sandbox here, else why not.
std::string sandboxUnavailableReason() {
  if (geteuid() != 0) return "needs root for network namespaces and nftables";
  if (runProgram({"unshare", "--version"}).status != 0) return "unshare (util-linux) is missing";
  const char* bundle = std::getenv("TAMRIN_BUNDLE_DIR");
  if (bundle == nullptr || !fs::exists(fs::path(bundle) / "libexec/tamrin-pfctl")) {
    return "TAMRIN_BUNDLE_DIR/libexec/tamrin-pfctl does not exist";
  }
  if (!fs::exists(sandboxScript())) return sandboxScript().string() + " does not exist";
  if (runProgram({"unshare", "--net", "--mount", "true"}).status != 0) {
    return "this kernel refuses new network or mount namespaces";
  }
  return {};
}

// Inside the sandbox: true. Outside: runs the current test again in the sandbox, checks its
// result and that the host was left alone, and returns false (the caller then returns).
[[nodiscard]] bool insideSandbox() {
  if (std::getenv(kInsideVariable) != nullptr) return true;
  if (const std::string reason = sandboxUnavailableReason(); !reason.empty()) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") {
      ADD_FAILURE() << "cannot run under CI: " << reason;
    } else {
      [&] { GTEST_SKIP() << reason; }();
    }
    return false;
  }
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string hostsBefore = readOrEmpty("/etc/hosts");
  const ProgramRun rulesetBefore = runProgram({"nft", "list", "ruleset"});
  const ProgramRun inner =
      runProgram({sandboxScript(), fs::read_symlink("/proc/self/exe"),
                  std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
                 {std::string(kInsideVariable) + "=1"});
  EXPECT_EQ(inner.status, 0) << inner.out << inner.err;
  EXPECT_EQ(readOrEmpty("/etc/hosts"), hostsBefore) << "the host's /etc/hosts changed";
  const ProgramRun rulesetAfter = runProgram({"nft", "list", "ruleset"});
  EXPECT_EQ(rulesetAfter.out, rulesetBefore.out) << "the host's nftables ruleset changed";
  return false;
}

ProgramRun pfctl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {fs::path(std::getenv("TAMRIN_BUNDLE_DIR")) /
                                   "libexec/tamrin-pfctl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv);
}

// Runs the tool, expects success and returns its standard output.
std::string pfctlOk(const std::vector<std::string>& arguments) {
  const ProgramRun run = pfctl(arguments);
  EXPECT_EQ(run.status, 0) << testing::PrintToString(arguments) << ": " << run.err;
  EXPECT_EQ(run.err, "") << testing::PrintToString(arguments);
  return run.out;
}

// "-E", returning the token.
std::string enable() {
  const std::string out = pfctlOk({"-E"});
  EXPECT_EQ(out.rfind("Token : ", 0), 0u) << out;
  return out.size() > 9 ? out.substr(8, out.size() - 9) : std::string();
}

std::string status() { return pfctlOk({"-s", "info"}); }

std::string listing() { return pfctlOk({"-a", "com.apple/app.tamrin", "-sr"}); }

void load(const std::string& ruleText) {
  writeFileAtomically("/run/test-rules.conf", ruleText, 0600);
  pfctlOk({"-a", "com.apple/app.tamrin", "-f", "/run/test-rules.conf"});
}

sockaddr_storage socketAddress(const std::string& address, int port, socklen_t& length) {
  sockaddr_storage storage{};
  if (address.find(':') == std::string::npos) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &v4->sin_addr);
    length = sizeof(sockaddr_in);
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr);
    length = sizeof(sockaddr_in6);
  }
  return storage;
}

// A socket of `type` bound to the wildcard address of `family` on `port`.
int boundSocket(int family, int type, int port) {
  const int fd = socket(family, type | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  socklen_t length;
  sockaddr_storage any = socketAddress(family == AF_INET ? "0.0.0.0" : "::", port, length);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&any), length), 0) << port;
  if (type == SOCK_STREAM) {
    EXPECT_EQ(listen(fd, 64), 0);
  }
  return fd;
}

// 0 when a TCP connection opens, else the error (ETIMEDOUT when nothing answers in time).
int tcpConnect(const std::string& address, int port) {
  socklen_t length;
  sockaddr_storage target = socketAddress(address, port, length);
  const int fd = socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int error = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&target), length) != 0) {
    error = errno;
    pollfd pending = {fd, POLLOUT, 0};
    if (error == EINPROGRESS) {
      error = poll(&pending, 1, kReplyTimeoutMs) == 1 ? 0 : ETIMEDOUT;
      socklen_t size = sizeof error;
      if (error == 0) getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    }
  }
  close(fd);
  return error;
}

// Sends a datagram to `address`:`port` and returns 0 when `server` receives it, or the error
// the sender sees (ETIMEDOUT when neither happens in time).
int udpExchange(const std::string& address, int port, int server) {
  socklen_t length;
  sockaddr_storage target = socketAddress(address, port, length);
  const int fd = socket(target.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  connect(fd, reinterpret_cast<sockaddr*>(&target), length);
  send(fd, "ping", 4, MSG_DONTWAIT);  // a rejected datagram fails here with EPERM
  int result = ETIMEDOUT;
  pollfd fds[2] = {{fd, POLLIN, 0}, {server, POLLIN, 0}};
  if (poll(fds, 2, kReplyTimeoutMs) > 0) {
    char buffer[16];
    if (fds[1].revents != 0 && recv(server, buffer, sizeof buffer, MSG_DONTWAIT) == 4) {
      result = 0;
    } else if (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) < 0) {
      result = errno;
    }
  }
  close(fd);
  return result;
}

class PfctlSandboxTest : public testing::Test {
 protected:
  // Inside the sandbox: the test addresses and servers on ports 80, 443 and 8080.
  void prepareNetwork() {
    for (const char* address : {"10.77.0.3/32", "fd77::2/128", "fd77::3/128"}) {
      const ProgramRun run = runProgram({"ip", "address", "add", address, "dev", "lo", "nodad"});
      ASSERT_EQ(run.status, 0) << run.err;
    }
    for (int family : {AF_INET, AF_INET6}) {
      for (int port : {80, 443, 8080}) sockets_.push_back(boundSocket(family, SOCK_STREAM, port));
    }
    udp4_ = boundSocket(AF_INET, SOCK_DGRAM, 443);
    udp6_ = boundSocket(AF_INET6, SOCK_DGRAM, 443);
    sockets_.insert(sockets_.end(), {udp4_, udp6_});
  }
  void TearDown() override {
    for (int fd : sockets_) close(fd);
  }

  std::vector<int> sockets_;
  int udp4_ = -1;
  int udp6_ = -1;
};

const std::vector<std::string> kBlocked = {"10.77.0.2", "fd77::2"};

std::string expectedListing(const std::vector<std::string>& sortedAddresses,
                            const std::string& label) {
  std::string text;
  for (const std::string& address : sortedAddresses) {
    const std::string family = address.find(':') == std::string::npos ? "inet" : "inet6";
    for (const char* rule : {"tcp from any to %s port = 80", "tcp from any to %s port = 443",
                             "udp from any to %s port = 80", "udp from any to %s port = 443"}) {
      std::string body = rule;
      body.replace(body.find("%s"), 2, address);
      text += "block return out quick " + family + " proto " + body + " label \"" + label + "\"\n";
    }
  }
  return text;
}

TEST_F(PfctlSandboxTest, RejectsWebTrafficToTheLoadedAddressesOnly) {
  if (!insideSandbox()) return;
  prepareNetwork();
  EXPECT_EQ(status(), "Status: Disabled\n");
  EXPECT_EQ(tcpConnect("10.77.0.2", 80), 0) << "the servers must answer before the block";
  EXPECT_EQ(udpExchange("10.77.0.2", 443, udp4_), 0);

  enable();
  load(packetFilterRules(kBlocked));
  EXPECT_EQ(status(), "Status: Enabled\n");
  EXPECT_EQ(listing(), expectedListing(kBlocked, packetFilterRuleLabel(kBlocked)));

  for (const std::string& blocked : kBlocked) {
    EXPECT_EQ(tcpConnect(blocked, 80), ECONNREFUSED) << blocked;
    EXPECT_EQ(tcpConnect(blocked, 443), ECONNREFUSED) << blocked;
    EXPECT_EQ(tcpConnect(blocked, 8080), 0) << blocked;
  }
  EXPECT_EQ(udpExchange("10.77.0.2", 443, udp4_), ECONNREFUSED);
  EXPECT_EQ(udpExchange("fd77::2", 443, udp6_), ECONNREFUSED);
  for (const std::string allowed : {"10.77.0.3", "127.0.0.1", "fd77::3"}) {
    EXPECT_EQ(tcpConnect(allowed, 80), 0) << allowed;
    EXPECT_EQ(tcpConnect(allowed, 443), 0) << allowed;
  }
  EXPECT_EQ(udpExchange("10.77.0.3", 443, udp4_), 0);
  EXPECT_EQ(udpExchange("fd77::3", 443, udp6_), 0);

  // A new load replaces the set; flushing empties it while the filter stays on.
  load(packetFilterRules({"10.77.0.3"}));
  EXPECT_EQ(listing(), expectedListing({"10.77.0.3"}, packetFilterRuleLabel({"10.77.0.3"})));
  EXPECT_EQ(tcpConnect("10.77.0.2", 80), 0);
  EXPECT_EQ(tcpConnect("10.77.0.3", 443), ECONNREFUSED);
  pfctlOk({"-a", "com.apple/app.tamrin", "-F", "rules"});
  EXPECT_EQ(listing(), "");
  EXPECT_EQ(status(), "Status: Enabled\n");
  EXPECT_EQ(tcpConnect("10.77.0.3", 443), 0);
}

TEST_F(PfctlSandboxTest, ListingShowsWhatTheKernelHoldsNow) {
  if (!insideSandbox()) return;
  EXPECT_EQ(listing(), "");
  load(packetFilterRules(kBlocked));
  const std::string label = packetFilterRuleLabel(kBlocked);

  ASSERT_EQ(runProgram({"nft", "delete", "element", "inet", "tamrin", "ipv4_addr", "{ 10.77.0.2 }"})
                .status,
            0);
  EXPECT_EQ(listing(), expectedListing({"fd77::2"}, label));

  // A reject rule removed by hand disappears from the listing; the next load restores it.
  ASSERT_EQ(runProgram({"nft", "flush", "chain", "inet", "tamrin", "block"}).status, 0);
  EXPECT_EQ(listing(), "");
  load(packetFilterRules(kBlocked));
  EXPECT_EQ(listing(), expectedListing(kBlocked, label));
}

TEST_F(PfctlSandboxTest, EveryHandMadeChangeOfTheTableIsListedAndOneRebuildUndoesIt) {
  if (!insideSandbox()) return;
  prepareNetwork();
  struct Case {
    const char* nft;
    bool switchesOff;  // "-s info" no longer reports the filter on
  } const cases[] = {
      {"insert rule inet tamrin block return", false},
      {"insert rule inet tamrin output accept", true},
      {"add chain inet tamrin mine", false},
      {"add rule inet tamrin block ip daddr 10.77.0.3 tcp dport 443 reject", false},
      {"add table inet tamrin { flags dormant; }", false},
      {"add counter inet tamrin seen", false},
  };
  const std::string expected = expectedListing(kBlocked, packetFilterRuleLabel(kBlocked));
  enable();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nft);
    load(packetFilterRules(kBlocked));
    ASSERT_EQ(listing(), expected);
    const ProgramRun tamper = runProgram({"nft", c.nft});
    ASSERT_EQ(tamper.status, 0) << tamper.err;
    const std::string tampered = listing();
    EXPECT_EQ(tampered.rfind(expected, 0), 0u) << tampered;
    EXPECT_NE(tampered.find("\nunexpected: "), std::string::npos) << tampered;
    EXPECT_EQ(status(), c.switchesOff ? "Status: Disabled\n" : "Status: Enabled\n");
    if (c.switchesOff) enable();
    load(packetFilterRules(kBlocked));
    EXPECT_EQ(listing(), expected);
    EXPECT_EQ(status(), "Status: Enabled\n");
    EXPECT_EQ(tcpConnect("10.77.0.2", 443), ECONNREFUSED);
    EXPECT_EQ(tcpConnect("10.77.0.3", 443), 0);
  }
}

TEST_F(PfctlSandboxTest, TheRecordIsKeptBesideTheRulesAndListedApart) {
  if (!insideSandbox()) return;
  const std::string show[] = {"-a", "com.apple/app.tamrin", "-t", "record", "-T", "show"};
  const std::string text =
      "tamrin-block-record-1,end=8.5e+08," + std::string(300, 'n') + ",d=a.org";
  writeFileAtomically("/run/test-record", text + "\n", 0600);
  pfctlOk(
      {"-a", "com.apple/app.tamrin", "-t", "record", "-T", "replace", "-f", "/run/test-record"});
  EXPECT_EQ(pfctlOk({std::begin(show), std::end(show)}), text + "\n");
  // Loading, switching on and flushing rebuild the table: the record stays, and the listing
  // shows the rules alone.
  load(packetFilterRules(kBlocked));
  const std::string token = enable();
  EXPECT_EQ(listing(), expectedListing(kBlocked, packetFilterRuleLabel(kBlocked)));
  pfctlOk({"-a", "com.apple/app.tamrin", "-F", "rules"});
  EXPECT_EQ(listing(), "");
  EXPECT_EQ(pfctlOk({std::begin(show), std::end(show)}), text + "\n");
  writeFileAtomically("/run/test-record", "has a blank", 0600);
  EXPECT_EQ(pfctl({"-a", "com.apple/app.tamrin", "-t", "record", "-T", "replace", "-f",
                   "/run/test-record"})
                .status,
            1);
  pfctlOk({"-a", "com.apple/app.tamrin", "-t", "record", "-T", "flush"});
  EXPECT_EQ(pfctlOk({std::begin(show), std::end(show)}), "");
  pfctlOk({"-a", "com.apple/app.tamrin", "-t", "record", "-T", "flush"});
  // Switched off with no rules and no record, the table holds nothing and goes.
  ASSERT_EQ(runProgram({"nft", "list", "table", "inet", "tamrin"}).status, 0);
  pfctlOk({"-X", token});
  EXPECT_NE(runProgram({"nft", "list", "table", "inet", "tamrin"}).status, 0);
  pfctlOk({"-a", "com.apple/app.tamrin", "-F", "rules"});
  EXPECT_NE(runProgram({"nft", "list", "table", "inet", "tamrin"}).status, 0)
      << "flushing an absent table creates none";
}

TEST_F(PfctlSandboxTest, TheNamesTableIsKeptThroughRebuildsVerifiedAndListedApart) {
  if (!insideSandbox()) return;
  const auto names = [] { return pfctlOk(pfctlShowNames()); };
  EXPECT_EQ(names(), "");
  pfctlOk(pfctlInspectNames());
  EXPECT_EQ(names(), "Names: Inspected\n");
  EXPECT_EQ(listing(), "") << "the names chains list no rule line";
  const std::string token = enable();
  load(packetFilterRules(kBlocked));
  pfctlOk({"-a", "com.apple/app.tamrin", "-F", "rules"});
  load(packetFilterRules(kBlocked));
  EXPECT_EQ(names(), "Names: Inspected\n") << "switching on and loading keep them";
  const std::string expected = expectedListing(kBlocked, packetFilterRuleLabel(kBlocked));
  EXPECT_EQ(listing(), expected);

  // A rule of the names chain removed by hand is listed as unexpected; asking again restores it.
  ASSERT_EQ(runProgram({"nft", "flush", "chain", "inet", "tamrin", "names"}).status, 0);
  EXPECT_EQ(names(), "");
  EXPECT_EQ(listing(), expected + "unexpected: rules of chain names\n");
  pfctlOk(pfctlInspectNames());
  EXPECT_EQ(names(), "Names: Inspected\n");
  EXPECT_EQ(listing(), expected);

  pfctlOk(pfctlStopInspectingNames());
  EXPECT_EQ(names(), "");
  EXPECT_EQ(listing(), expected);
  ASSERT_EQ(runProgram({"nft", "list", "chain", "inet", "tamrin", "names"}).status, 1);
  pfctlOk(pfctlInspectNames());
  pfctlOk({"-a", "com.apple/app.tamrin", "-F", "rules"});
  pfctlOk({"-X", token});
  EXPECT_EQ(runProgram({"nft", "list", "table", "inet", "tamrin"}).status, 0)
      << "the names alone keep the table";
  pfctlOk(pfctlStopInspectingNames());
  EXPECT_NE(runProgram({"nft", "list", "table", "inet", "tamrin"}).status, 0);
}

TEST_F(PfctlSandboxTest, TheFilterStaysOnUntilEveryHolderReleasedItsToken) {
  if (!insideSandbox()) return;
  prepareNetwork();
  const std::string first = enable();
  const std::string second = enable();
  EXPECT_NE(first, second);
  EXPECT_EQ(readFile("/run/tamrin/pf-tokens"), first + "\n" + second + "\n");
  EXPECT_EQ(fs::status("/run/tamrin/pf-tokens").permissions(), fs::perms(0600));
  load(packetFilterRules({"10.77.0.2"}));

  pfctlOk({"-X", first});
  EXPECT_EQ(status(), "Status: Enabled\n");
  EXPECT_EQ(tcpConnect("10.77.0.2", 443), ECONNREFUSED);

  const ProgramRun again = pfctl({"-X", first});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "tamrin-pfctl: no reference with token " + first + "\n");

  pfctlOk({"-X", second});
  EXPECT_EQ(status(), "Status: Disabled\n");
  EXPECT_EQ(tcpConnect("10.77.0.2", 443), 0);
  // The rules stay loaded for the next holder.
  EXPECT_EQ(listing(), expectedListing({"10.77.0.2"}, packetFilterRuleLabel({"10.77.0.2"})));
}

TEST_F(PfctlSandboxTest, RefusedCommandsExitWithOneLineAndChangeNothing) {
  if (!insideSandbox()) return;
  enable();
  load(packetFilterRules(kBlocked));
  const std::string rulesetBefore = runProgram({"nft", "list", "ruleset"}).out;
  const std::string tokensBefore = readFile("/run/tamrin/pf-tokens");

  const std::string good = packetFilterRules({"10.77.0.9", "10.77.0.8"});
  writeFileAtomically("/run/bad-rules.conf", good + "pass out all\n", 0600);
  writeFileAtomically("/run/bad-family.conf",
                      good +
                          "block return out quick inet proto { tcp udp } from any to fd77::9 "
                          "port { 80 443 } label \"tamrin-1\"\n",
                      0600);
  const std::vector<std::string> refused[] = {
      {},
      {"-d"},
      {"-F", "all"},
      {"-e"},
      {"-E", "-E"},
      {"-s", "rules"},
      {"-X"},
      {"-a", "com.apple", "-F", "rules"},
      {"-a", "com.apple/app.tamrin", "-F", "all"},
      {"-a", "com.apple/app.tamrin", "-f", "/run/missing.conf"},
      {"-a", "com.apple/app.tamrin", "-f", "/run/bad-rules.conf"},
      {"-a", "com.apple/app.tamrin", "-f", "/run/bad-family.conf"},
      {"-k", "0.0.0.0/0", "-k", "fd77::2"},
      {"-X", "12345"},
  };
  for (const auto& arguments : refused) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    const ProgramRun run = pfctl(arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("tamrin-pfctl: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_NE(pfctl({"-a", "com.apple/app.tamrin", "-f", "/run/bad-rules.conf"})
                .err.find("/run/bad-rules.conf: line 3: "),
            std::string::npos);
  EXPECT_EQ(runProgram({"nft", "list", "ruleset"}).out, rulesetBefore);
  EXPECT_EQ(readFile("/run/tamrin/pf-tokens"), tokensBefore);
}

// The number of connection-tracking entries towards `address`.
int trackedConnectionsTo(const std::string& address) {
  const ProgramRun run = runProgram({"conntrack", "-L", "-d", address});
  EXPECT_EQ(run.status, 0) << run.err;
  return static_cast<int>(std::count(run.out.begin(), run.out.end(), '\n'));
}

TEST_F(PfctlSandboxTest, KillingStatesDropsTheConnectionsTowardsOneAddress) {
  if (!insideSandbox()) return;
  prepareNetwork();
  // Connection tracking runs in a namespace only once some rule asks for it.
  ASSERT_EQ(runProgram({"nft",
                        "add table inet probe; add chain inet probe out { type filter "
                        "hook output priority 10; }; add rule inet probe out ct state "
                        "established counter"})
                .status,
            0);
  for (const std::string address : {"10.77.0.2", "10.77.0.3", "fd77::2"}) {
    EXPECT_EQ(tcpConnect(address, 8080), 0) << address;
  }
  ASSERT_GT(trackedConnectionsTo("10.77.0.2"), 0);
  ASSERT_GT(trackedConnectionsTo("fd77::2"), 0);

  pfctlOk({"-k", "0.0.0.0/0", "-k", "10.77.0.2"});
  EXPECT_EQ(trackedConnectionsTo("10.77.0.2"), 0);
  EXPECT_GT(trackedConnectionsTo("10.77.0.3"), 0);
  EXPECT_GT(trackedConnectionsTo("fd77::2"), 0);

  pfctlOk({"-k", "::/0", "-k", "fd77::2"});
  EXPECT_EQ(trackedConnectionsTo("fd77::2"), 0);
  pfctlOk({"-k", "::/0", "-k", "fd77::2"});  // nothing left: still success

  // Several pairs in one run.
  for (const std::string address : {"10.77.0.2", "fd77::2"}) {
    EXPECT_EQ(tcpConnect(address, 8080), 0) << address;
  }
  pfctlOk({"-k", "::/0", "-k", "fd77::2", "-k", "0.0.0.0/0", "-k", "10.77.0.2"});
  EXPECT_EQ(trackedConnectionsTo("10.77.0.2"), 0);
  EXPECT_EQ(trackedConnectionsTo("fd77::2"), 0);
  EXPECT_GT(trackedConnectionsTo("10.77.0.3"), 0);
}

TEST_F(PfctlSandboxTest, AddingAddressesBlocksThemAndCutsNoConnection) {
  if (!insideSandbox()) return;
  prepareNetwork();
  ASSERT_EQ(runProgram({"nft",
                        "add table inet probe; add chain inet probe out { type filter "
                        "hook output priority 10; }; add rule inet probe out ct state "
                        "established counter"})
                .status,
            0);
  enable();
  load(packetFilterRules({"10.77.0.2"}));
  EXPECT_EQ(tcpConnect("10.77.0.3", 8080), 0);
  ASSERT_GT(trackedConnectionsTo("10.77.0.3"), 0);

  pfctlOk({"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "add", "10.77.0.3", "fd77::3"});
  const std::vector<std::string> all = {"10.77.0.2", "10.77.0.3", "fd77::3"};
  EXPECT_EQ(listing(), expectedListing(all, packetFilterRuleLabel(all)));
  EXPECT_GT(trackedConnectionsTo("10.77.0.3"), 0) << "a connection was cut";
  EXPECT_EQ(tcpConnect("10.77.0.3", 443), ECONNREFUSED);
  EXPECT_EQ(tcpConnect("fd77::3", 80), ECONNREFUSED);
  EXPECT_EQ(tcpConnect("10.77.0.2", 80), ECONNREFUSED);
  EXPECT_EQ(tcpConnect("10.77.0.3", 8080), 0);
}

}  // namespace
}  // namespace tamrin
