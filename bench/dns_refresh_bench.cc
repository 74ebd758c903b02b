// One address refresh of 200 host names (100 domains and their www. names, A and AAAA each)
// through the direct resolver, against a DNS server that answers every query after 20 ms: a
// relay in this program holds each query 20 ms before passing it to the real server named by
// TAMRIN_BENCH_DNS_UPSTREAM (default 127.0.0.1:53, the dnsmasq that dns_refresh_bench.sh starts
// inside scripts/sandbox). Target: under 0.5 s wall. CPU time is the refreshing thread's.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "core/blocked_hostnames.h"
#include "daemon/resolve/address_list.h"
#include "daemon/resolve/direct_resolver.h"

namespace tamrin {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kAnswerDelay = std::chrono::milliseconds(20);

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Passes each datagram on to the upstream server kAnswerDelay after it arrived and sends the
// reply back; the bytes are never looked at.
class DelayingRelay {
 public:
  explicit DelayingRelay(sockaddr_in upstream) : upstream_(upstream) {
    listener_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = loopback(0);
    bind(listener_, reinterpret_cast<sockaddr*>(&any), sizeof any);
    socklen_t length = sizeof any;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&any), &length);
    port_ = ntohs(any.sin_port);
    thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
  }
  ~DelayingRelay() {
    thread_.request_stop();
    thread_.join();
    close(listener_);
  }
  int port() const { return port_; }

 private:
  struct Query {
    Clock::time_point due;
    sockaddr_in client;
    std::string bytes;
    int upstream = -1;  // open once sent
  };

  void serve(const std::stop_token& stop) {
    std::deque<Query> queries;
    char buffer[65536];
    while (!stop.stop_requested()) {
      std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
      for (const Query& q : queries) {
        if (q.upstream >= 0) fds.push_back({q.upstream, POLLIN, 0});
      }
      int wait = 10;
      for (const Query& q : queries) {
        if (q.upstream < 0) {
          const auto left =
              std::chrono::duration_cast<std::chrono::milliseconds>(q.due - Clock::now());
          wait = std::max(0, std::min<int>(wait, static_cast<int>(left.count())));
        }
      }
      poll(fds.data(), fds.size(), wait);
      if (fds[0].revents & POLLIN) {
        Query q{.due = Clock::now() + kAnswerDelay, .client = {}, .bytes = {}};
        socklen_t length = sizeof q.client;
        const ssize_t n = recvfrom(listener_, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&q.client), &length);
        if (n > 0) {
          q.bytes.assign(buffer, static_cast<std::size_t>(n));
          queries.push_back(std::move(q));
        }
      }
      for (Query& q : queries) {
        if (q.upstream < 0 && Clock::now() >= q.due) {
          q.upstream = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
          connect(q.upstream, reinterpret_cast<const sockaddr*>(&upstream_), sizeof upstream_);
          send(q.upstream, q.bytes.data(), q.bytes.size(), 0);
        } else if (q.upstream >= 0) {
          const ssize_t n = recv(q.upstream, buffer, sizeof buffer, MSG_DONTWAIT);
          if (n > 0) {
            sendto(listener_, buffer, static_cast<std::size_t>(n), 0,
                   reinterpret_cast<const sockaddr*>(&q.client), sizeof q.client);
            close(q.upstream);
            q.upstream = -2;  // answered
          }
        }
      }
      std::erase_if(queries, [](const Query& q) { return q.upstream == -2; });
    }
    for (const Query& q : queries) {
      if (q.upstream >= 0) close(q.upstream);
    }
  }

  sockaddr_in upstream_;
  int listener_ = -1;
  int port_ = 0;
  std::jthread thread_;
};

std::vector<std::string> hundredDomains() {
  std::vector<std::string> domains;
  for (int i = 0; i < 100; ++i) domains.push_back("site" + std::to_string(i) + ".test");
  return domains;
}

sockaddr_in upstreamServer() {
  const char* configured = std::getenv("TAMRIN_BENCH_DNS_UPSTREAM");
  const std::string text = configured != nullptr ? configured : "127.0.0.1:53";
  sockaddr_in address = loopback(std::stoi(text.substr(text.find(':') + 1)));
  inet_pton(AF_INET, text.substr(0, text.find(':')).c_str(), &address.sin_addr);
  return address;
}

void BM_RefreshTwoHundredNamesAfter20ms(benchmark::State& state) {
  DelayingRelay relay(upstreamServer());
  const std::vector<std::string> hostnames = blockedHostnames(hundredDomains());
  DnsResolverOptions options;
  options.servers = "127.0.0.1:" + std::to_string(relay.port());
  std::vector<std::string> addresses;
  bool complete = true;
  for (auto _ : state) {
    const DirectResolution resolution = resolveDirectly(hostnames, options);
    addresses =
        mergedAddresses({}, usableAddresses(resolution.answers), addressCap(hostnames.size()));
    complete = complete && resolution.complete;
  }
  if (addresses.empty()) state.SkipWithError("no answers: is the DNS server running?");
  state.counters["names"] = static_cast<double>(hostnames.size());
  state.counters["addresses"] = static_cast<double>(addresses.size());
  state.counters["complete"] = complete ? 1 : 0;
}

BENCHMARK(BM_RefreshTwoHundredNamesAfter20ms)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

}  // namespace
}  // namespace tamrin

BENCHMARK_MAIN();
