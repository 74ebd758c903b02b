// Runs the direct resolver once, for the resolver scenario:
//   dns_resolver_test_helper SERVERS HOSTNAME...
// prints "complete 0|1", "elapsed_ms N", one "answer NAME TTL COUNT" line per answer and
// "usable N" (what the filter would take of them).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "daemon/resolve/address_list.h"
#include "daemon/resolve/direct_resolver.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: dns_resolver_test_helper SERVERS HOSTNAME...\n", stderr);
    return 2;
  }
  tamrin::DnsResolverOptions options;
  options.servers = argv[1];
  const std::vector<std::string> hostnames(argv + 2, argv + argc);
  const auto start = std::chrono::steady_clock::now();
  const tamrin::DirectResolution result = tamrin::resolveDirectly(hostnames, options);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::printf("complete %d\nelapsed_ms %lld\n", result.complete ? 1 : 0,
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
  for (const tamrin::HostAnswer& answer : result.answers) {
    std::printf("answer %s %lld %zu\n", answer.hostname.c_str(),
                answer.ttl ? static_cast<long long>(*answer.ttl) : -1LL, answer.addresses.size());
  }
  std::printf("usable %zu\n", tamrin::usableAddresses(result.answers).size());
  return 0;
}
