#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tamrin {

// One host name's answer from the DNS servers.
struct HostAnswer {
  std::string hostname;
  std::vector<std::string> addresses;  // numeric texts, in the answer's order
  std::optional<std::uint32_t> ttl;    // the shortest TTL of its records
};

// What one direct resolution learned. `complete` is false when a name got no definite answer
// (time-out, server failure, refusal): then the answers are only part of the truth.
struct DirectResolution {
  std::vector<HostAnswer> answers;
  bool complete = false;
};

// Asks the DNS servers directly (never the hosts file) for the A and AAAA records of each
// host name. Never throws; a failure shows as an incomplete resolution.
using ResolveDirect = std::function<DirectResolution(const std::vector<std::string>& hostnames)>;

// Where the direct resolver finds its servers, and how long it may wait.
struct DnsResolverOptions {
  // A resolv.conf; only its servers and options are read.
  std::filesystem::path resolvConf = "/etc/resolv.conf";
  // "address[:port],..." used instead of the servers of `resolvConf` when present.
  std::optional<std::string> servers;
  // One try of one query; c-ares tries twice.
  std::chrono::milliseconds tryTimeout{1000};
  // The whole resolution ends after this: names without an answer by then count as failed.
  std::chrono::milliseconds limit{2000};
  // Host names asked at the same time (each asks for A and AAAA).
  std::size_t maxConcurrentNames = 64;
};

// systemd-resolved's list of upstream servers when `runDirectory`/systemd/resolve/resolv.conf
// exists (its stub at 127.0.0.53 would answer from the hosts file), else /etc/resolv.conf.
std::filesystem::path directResolverConfiguration(
    const std::filesystem::path& runDirectory = "/run");

// Asks the DNS servers, never the hosts file, for the A and AAAA records of every name
// (c-ares, lookups limited to DNS, no search domains). Each name that resolved gives one answer
// with its addresses and the shortest TTL of its records; the resolution is complete when every
// other name was answered "no such name" or "no data". Never throws and never runs past
// `options.limit` (a channel that cannot be set up gives an empty, incomplete resolution).
DirectResolution resolveDirectly(const std::vector<std::string>& hostnames,
                                 const DnsResolverOptions& options);

}  // namespace tamrin
