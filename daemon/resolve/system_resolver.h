#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tamrin {

// Asks a resolver for one host name's addresses: numeric texts in the resolver's order,
// empty when the name does not resolve. May throw only for failures of the caller's own
// making (such an exception ends the whole resolution).
using HostLookup = std::function<std::vector<std::string>(const std::string& hostname)>;

// How many host names are looked up at the same time.
inline constexpr std::size_t kMaxConcurrentLookups = 16;
// How long the daemon's system resolution waits for answers in all; names not answered by
// then are left out (their lookups end on their own, unwaited for).
inline constexpr std::chrono::milliseconds kSystemLookupLimit{3000};

// The system resolver: getaddrinfo (any family, AI_ADDRCONFIG) and getnameinfo
// (NI_NUMERICHOST) for every returned record; records that cannot be formatted are left out.
std::vector<std::string> systemHostLookup(const std::string& hostname);

// The distinct routable addresses (isRoutableAddress: no unspecified, loopback, link-local,
// multicast or broadcast address) of every blocked host name of `domains`, at most
// kMaxAddressesPerName of each name's answer and addressCap(names) in all (the first ones in
// ascending order), sorted ascending as text. Names that fail to resolve, or do not answer
// within kSystemLookupLimit, are skipped; throws TamrinError domainResolution when nothing is
// left.
std::vector<std::string> resolvedAddresses(const std::vector<std::string>& domains);

// The same with `lookup` as the resolver, running at most `maxConcurrentLookups` lookups at
// once (1: one after another), and waiting at most `limit` (without one, for every name). The
// result does not depend on the bound; when lookups throw, the exception of the first such
// host name in order is passed up.
std::vector<std::string> resolvedAddresses(
    const std::vector<std::string>& domains, const HostLookup& lookup,
    std::size_t maxConcurrentLookups,
    std::optional<std::chrono::milliseconds> limit = std::nullopt);

}  // namespace tamrin
