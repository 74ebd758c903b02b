// What several focus windows cost. The schedule rules (shouldEnforce, nextEnforcementTransition)
// for 1, 8 and 64 windows should grow at most linearly; a whole status request with 64 windows
// (tamrinctl status over the socket: the daemon's handler, the reply, the printed line) should
// stay within twice that of one. The handler and the printing alone are measured as well: they
// grow with the size of the JSON they write. Over 32 named blocks of 64 windows each, both
// rules should take at most 50 µs a call; printing the status of 32 blocks is measured beside
// that of one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control/control_status.h"
#include "core/daemon_client.h"
#include "core/daemon_status.h"
#include "core/file_io.h"
#include "core/policy.h"
#include "daemon/enforcement/fake_packet_filter_runner.h"
#include "daemon/ipc/listener.h"
#include "daemon/service/daemon_service.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

constexpr const char* kZone = "Europe/Berlin";

// `count` windows spread over the day, each open for half of its share, every day; when
// `touching`, each one's access start is the next one's focus start, so all form one block.
TamrinConfiguration spreadWindows(int count, bool touching) {
  std::vector<FocusWindow> list;
  const int share = 1440 / count;
  for (int i = 0; i < count; ++i) {
    const int focus = i * share;
    list.push_back({focus, touching ? (focus + share) % 1440 : focus + share / 2});
  }
  if (touching) list.back().accessStartMinutes = 1439;
  return testing::windows(std::move(list), {"example.com", "news.org"});
}

// Instants every 7 minutes and 13 seconds over a week: inside and outside of windows alike.
std::vector<Instant> weekOfInstants() {
  std::vector<Instant> instants;
  const Instant start = testing::localInstant(kZone, 2026, 3, 2, 0, 0);
  for (double t = 0; t < 7 * 86400.0; t += 433) instants.push_back(start + t);
  return instants;
}

// Times `rule` of `policy` at instants over a week.
template <typename Rule>
void timeRule(benchmark::State& state, const TamrinPolicy& policy, Rule rule) {
  const Calendar calendar = Calendar::named(kZone);
  const std::vector<Instant> instants = weekOfInstants();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(rule(policy, instants[i++ % instants.size()], calendar));
  }
}

bool shouldEnforce(const TamrinPolicy& policy, Instant t, const Calendar& calendar) {
  return policy.shouldEnforce(t, calendar);
}

Instant nextTransition(const TamrinPolicy& policy, Instant t, const Calendar& calendar) {
  return policy.nextEnforcementTransition(t, calendar);
}

void BM_ShouldEnforce(benchmark::State& state) {
  timeRule(state, TamrinPolicy(spreadWindows(static_cast<int>(state.range(0)), false)),
           shouldEnforce);
}
BENCHMARK(BM_ShouldEnforce)->Arg(1)->Arg(8)->Arg(64);

void BM_NextEnforcementTransition(benchmark::State& state) {
  timeRule(state,
           TamrinPolicy(spreadWindows(static_cast<int>(state.range(0)), state.range(1) != 0)),
           nextTransition);
}
// Separate windows, then windows that all touch: one block, the longest chain to follow.
BENCHMARK(BM_NextEnforcementTransition)
    ->ArgNames({"windows", "touching"})
    ->Args({1, 0})
    ->Args({8, 0})
    ->Args({64, 0})
    ->Args({8, 1})
    ->Args({64, 1});

// `blocks` named blocks of `windows` windows each, every block's windows shifted by a few
// minutes so that the blocks' transitions interleave; each block has its own two sites.
TamrinConfiguration spreadBlocks(int blocks, int windows) {
  TamrinConfiguration configuration;
  configuration.blocks.emplace();
  const int share = 1440 / windows;
  for (int b = 0; b < blocks; ++b) {
    std::vector<FocusWindow> list;
    for (int i = 0; i < windows; ++i) {
      const int focus = (i * share + b * 3) % 1440;
      list.push_back({focus, (focus + std::max(share / 3, 1)) % 1440});
    }
    const std::string n = std::to_string(b);
    configuration.blocks->push_back(
        {"block " + n,
         testing::windows(std::move(list), {"s" + n + ".example", "t" + n + ".example"})});
  }
  return configuration;
}

void BM_NamedShouldEnforce(benchmark::State& state) {
  timeRule(state,
           TamrinPolicy(spreadBlocks(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)))),
           shouldEnforce);
}
BENCHMARK(BM_NamedShouldEnforce)->ArgNames({"blocks", "windows"})->Args({1, 64})->Args({32, 64});

void BM_NamedNextTransition(benchmark::State& state) {
  timeRule(state,
           TamrinPolicy(spreadBlocks(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)))),
           nextTransition);
}
BENCHMARK(BM_NamedNextTransition)->ArgNames({"blocks", "windows"})->Args({1, 64})->Args({32, 64});

// A daemon service over a policy of `windows` windows in `directory`, its clock inside one.
std::shared_ptr<DaemonService> serviceWithWindows(const ScratchDirectory& directory, int windows) {
  const TamrinPolicy policy(spreadWindows(windows, false));
  writeFileAtomically(directory.path() / "policy.json", encodePolicy(policy), 0600);
  writeFileAtomically(directory.path() / "hosts", "127.0.0.1 localhost\n", 0644);
  auto fake = std::make_shared<FakePacketFilterRunner>();
  return DaemonService::create(DaemonEnvironment{
      .policyPath = directory.path() / "policy.json",
      .hosts = HostsFile(directory.path() / "hosts"),
      .packetFilter =
          PacketFilter{
              .directory = directory.path() / "pf",
              .runner = [fake](const std::vector<std::string>& a) { return fake->run(a); }},
      .clock = ServiceClock{.now = [] { return testing::localInstant(kZone, 2026, 3, 2, 0, 5); },
                            .calendar = [] { return Calendar::named(kZone); }},
      .resolveDomains =
          [](const std::vector<std::string>&) { return std::vector<std::string>{"192.0.2.1"}; },
      .flushDNS = [] {},
  });
}

// `tamrinctl status` against a listener on a scratch socket: connect, request, the daemon's
// handler, the reply, decoding it and printing the line.
void BM_StatusRoundTrip(benchmark::State& state) {
  ScratchDirectory directory("status-round-trip-bench");
  const auto service = serviceWithWindows(directory, static_cast<int>(state.range(0)));
  IpcListener listener(*service, IpcListenerOptions{.socketPath = directory.path() / "d.sock"});
  listener.resume();
  listener.serveInBackground();
  const DaemonClient client(
      DaemonClientOptions{.socketPath = directory.path() / "d.sock", .expectedOwner = ::getuid()});
  const Instant now = testing::localInstant(kZone, 2026, 3, 2, 0, 5);
  const Calendar calendar = Calendar::named(kZone);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        encodeControlStatus(makeControlStatus(client.status(), now, calendar)));
  }
  listener.stop();
}
BENCHMARK(BM_StatusRoundTrip)->ArgName("windows")->Arg(1)->Arg(64)->UseRealTime();

// The daemon's status handler alone, policy file loaded, at an instant inside a window.
void BM_StatusRequest(benchmark::State& state) {
  ScratchDirectory directory("status-bench");
  const auto service = serviceWithWindows(directory, static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    service->getStatus([&](std::optional<Data> data, std::optional<std::string>) {
      bytes = data ? data->size() : 0;
    });
  }
  state.counters["replyBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StatusRequest)->ArgName("windows")->Arg(1)->Arg(64);

// The control tool's side of `status` for `policy`: decode the reply, derive and print the
// status line.
void printStatus(benchmark::State& state, const TamrinPolicy& policy) {
  const std::string reply = encodeDaemonStatus(DaemonStatus{.blocked = true,
                                                            .managedHostsBlockPresent = true,
                                                            .managedPacketFilterBlockPresent = true,
                                                            .policy = policy});
  const Instant now = testing::localInstant(kZone, 2026, 3, 2, 0, 5);
  const Calendar calendar = Calendar::named(kZone);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        encodeControlStatus(makeControlStatus(decodeDaemonStatus(reply), now, calendar)));
  }
}
void BM_StatusPrinting(benchmark::State& state) {
  printStatus(state, TamrinPolicy(spreadWindows(static_cast<int>(state.range(0)), false)));
}
BENCHMARK(BM_StatusPrinting)->ArgName("windows")->Arg(1)->Arg(64);

// Named blocks of 8 windows: every block's own state and transition are printed too.
void BM_NamedStatusPrinting(benchmark::State& state) {
  printStatus(state, TamrinPolicy(spreadBlocks(static_cast<int>(state.range(0)), 8)));
}
BENCHMARK(BM_NamedStatusPrinting)->ArgName("blocks")->Arg(1)->Arg(32);

}  // namespace
}  // namespace tamrin

BENCHMARK_MAIN();
