#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tamrin {

// Asks a resolver for one host name's addresses: numeric texts in the resolver's order,
// empty when the name does not resolve. May throw only for failures of the caller's own
// making (such an exception ends the whole resolution).
using HostLookup = std::function<std::vector<std::string>(const std::string& hostname)>;

// How many host names are looked up at the same time.
inline constexpr std::size_t kMaxConcurrentLookups = 16;

// The system resolver: getaddrinfo (any family, AI_ADDRCONFIG) and getnameinfo
// (NI_NUMERICHOST) for every returned record; records that cannot be formatted are left out.
std::vector<std::string> systemHostLookup(const std::string& hostname);

// The distinct addresses of every blocked host name of `domains`, sorted ascending as text,
// without "0.0.0.0", "::", "127.0.0.1" and "::1". Names that fail to resolve are skipped;
// throws TamrinError domainResolution when nothing is left.
std::vector<std::string> resolvedAddresses(const std::vector<std::string>& domains);

// The same with `lookup` as the resolver, running at most `maxConcurrentLookups` lookups at
// once (1: one after another). The result does not depend on the bound; when lookups throw,
// the exception of the first such host name in order is passed up.
std::vector<std::string> resolvedAddresses(const std::vector<std::string>& domains,
                                           const HostLookup& lookup,
                                           std::size_t maxConcurrentLookups);

}  // namespace tamrin
