// Removing and adding the managed block scale linearly with the size of the hosts file.
#include <benchmark/benchmark.h>

#include <string>

#include "core/hosts_file.h"

namespace {

// A hosts text of about `bytes` bytes with a managed block in the middle.
std::string largeHostsText(size_t bytes) {
  std::string text;
  for (int i = 0; text.size() < bytes / 2; ++i) {
    text += "10.0." + std::to_string(i % 256) + ".1\thost" + std::to_string(i) + ".lan\n";
  }
  text = tamrin::HostsFile::addingManagedBlock(text, {"example.com", "x.com"});
  while (text.size() < bytes) text += "# a comment line that the user keeps below the block\n";
  return text;
}

void BM_WithoutManagedBlock(benchmark::State& state) {
  const std::string text = largeHostsText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(tamrin::HostsFile::withoutManagedBlock(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_WithoutManagedBlock)->RangeMultiplier(4)->Range(1 << 16, 1 << 24)->Complexity();

void BM_ReplaceBlock(benchmark::State& state) {
  const std::string text = largeHostsText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(tamrin::HostsFile::addingManagedBlock(
        tamrin::HostsFile::withoutManagedBlock(text), {"example.com", "x.com"}));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ReplaceBlock)->RangeMultiplier(4)->Range(1 << 16, 1 << 24)->Complexity();

}  // namespace

BENCHMARK_MAIN();
