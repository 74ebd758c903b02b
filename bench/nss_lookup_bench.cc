// The cost of the name-service module for a name under no blocked suffix, with 1,000 suffixes
// listed: the module's own check (lstat of the list, binary searches), and getaddrinfo as a
// program sees it. bench/nss_lookup_bench.sh runs the getaddrinfo case in the sandbox with and
// without "tamrin" on the hosts: line and prints the difference.
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "nss/suffix_cache.h"

namespace {

void BM_ModuleCheckForAnUnlistedName(benchmark::State& state) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("tamrin-bench-suffixes-" + std::to_string(getpid()));
  {
    std::ofstream list(path);
    for (int i = 0; i < 1000; ++i) list << "blocked-site-" << i << ".example\n";
  }
  tamrin_suffix_cache cache = TAMRIN_SUFFIX_CACHE_INITIALIZER;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tamrin_suffix_cache_covers(&cache, path.c_str(), "static.cdn.allowed-site.example"));
  }
  tamrin_suffix_cache_clear(&cache);
  std::filesystem::remove(path);
}
BENCHMARK(BM_ModuleCheckForAnUnlistedName);

// getaddrinfo of the name in TAMRIN_BENCH_NAME (answered by the files source); skipped when
// the variable is not set, since it depends on the sandbox's nsswitch.conf and hosts file.
void BM_Getaddrinfo(benchmark::State& state) {
  const char* name = std::getenv("TAMRIN_BENCH_NAME");
  if (name == nullptr) {
    state.SkipWithError("TAMRIN_BENCH_NAME is not set (run bench/nss_lookup_bench.sh)");
    return;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  for (auto _ : state) {
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0) {
      state.SkipWithError("the name did not resolve");
      return;
    }
    freeaddrinfo(result);
  }
}
BENCHMARK(BM_Getaddrinfo);

}  // namespace

BENCHMARK_MAIN();
