// What named blocks cost. The schedule rules over 32 blocks of 64 windows each (whether to
// enforce, the next change of the blocked names) should take at most 50 µs a call; printing
// the status of 32 blocks (decode the reply, derive every block's state, print the line)
// should stay within twice that of one block.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "control/control_status.h"
#include "core/daemon_status.h"
#include "core/policy.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"

namespace tamrin {
namespace {

constexpr const char* kZone = "Europe/Berlin";

// `blocks` blocks of `windows` windows each, every block's windows shifted by a few minutes
// so that the blocks' transitions interleave; each block has its own two sites.
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
        {"block " + n, testing::windows(std::move(list), {"s" + n + ".example", "t" + n + ".example"})});
  }
  return configuration;
}

std::vector<Instant> weekOfInstants() {
  std::vector<Instant> instants;
  const Instant start = testing::localInstant(kZone, 2026, 3, 2, 0, 0);
  for (double t = 0; t < 7 * 86400.0; t += 433) instants.push_back(start + t);
  return instants;
}

void BM_NamedShouldEnforce(benchmark::State& state) {
  const TamrinPolicy policy(spreadBlocks(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))));
  const Calendar calendar = Calendar::named(kZone);
  const std::vector<Instant> instants = weekOfInstants();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(policy.shouldEnforce(instants[i++ % instants.size()], calendar));
  }
}
BENCHMARK(BM_NamedShouldEnforce)->ArgNames({"blocks", "windows"})->Args({1, 64})->Args({32, 64});

void BM_NamedNextTransition(benchmark::State& state) {
  const TamrinPolicy policy(spreadBlocks(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))));
  const Calendar calendar = Calendar::named(kZone);
  const std::vector<Instant> instants = weekOfInstants();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        policy.nextEnforcementTransition(instants[i++ % instants.size()], calendar));
  }
}
BENCHMARK(BM_NamedNextTransition)->ArgNames({"blocks", "windows"})->Args({1, 64})->Args({32, 64});

// The control tool's side of `status` for `blocks` blocks of 8 windows.
void BM_NamedStatusPrinting(benchmark::State& state) {
  const TamrinPolicy policy(spreadBlocks(static_cast<int>(state.range(0)), 8));
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
BENCHMARK(BM_NamedStatusPrinting)->ArgName("blocks")->Arg(1)->Arg(32);

}  // namespace
}  // namespace tamrin

BENCHMARK_MAIN();
