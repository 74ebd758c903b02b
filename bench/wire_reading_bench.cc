// How long FlowInspector::inspect takes to decide a new flow against 1,000 blocked names
// (half of them "*." rules, so the name's every label is looked up): Chromium's 1.9 KB
// ClientHello in two TCP segments, and the RFC 9001 client Initial in one UDP datagram
// (which includes deriving that connection's keys).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "daemon/wire/flow_reading.h"
#include "daemon/wire/wire_test_data.h"

namespace tamrin {
namespace {

BlockedNameMatcher thousandNames() {
  std::vector<std::string> domains;
  for (int i = 0; i < 1000; ++i) {
    domains.push_back((i % 2 ? "*.site" : "site") + std::to_string(i) + ".test");
  }
  return BlockedNameMatcher(domains);
}

Bytes fromTestdata(std::string_view name) {
  ::setenv("TAMRIN_SOURCE_DIR", TAMRIN_BENCH_SOURCE_DIR, 0);
  return testdataBytes(name);
}

void BM_InspectTwoSegmentClientHello(benchmark::State& state) {
  const BlockedNameMatcher blocked = thousandNames();
  const Bytes hello = fromTestdata("chromium_client_hello.hex");
  const std::size_t cut = 1404;
  const Bytes first = tcpPacket(false, 40000, 443, 1000, Bytes(hello.begin(), hello.begin() + cut));
  const Bytes second =
      tcpPacket(false, 40000, 443, 1000 + cut, Bytes(hello.begin() + cut, hello.end()));
  FlowInspector inspector;
  benchmark::IterationCount decided = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(inspector.inspect(first, 1, blocked));
    decided += inspector.inspect(second, 1, blocked).has_value();
  }
  if (decided != state.iterations()) state.SkipWithError("a flow was not decided");
}

void BM_InspectQuicInitial(benchmark::State& state) {
  const BlockedNameMatcher blocked = thousandNames();
  const Bytes packet = udpPacket(false, 40000, 443, fromTestdata("quic_v1_client_initial.hex"));
  FlowInspector inspector;
  benchmark::IterationCount decided = 0;
  for (auto _ : state) decided += inspector.inspect(packet, 1, blocked).has_value();
  if (decided != state.iterations()) state.SkipWithError("a flow was not decided");
}

BENCHMARK(BM_InspectTwoSegmentClientHello)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InspectQuicInitial)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tamrin

BENCHMARK_MAIN();
