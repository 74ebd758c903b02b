#include "daemon/name_resolution.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <memory>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

#include "core/blocked_hostnames.h"
#include "core/tamrin_error.h"
#include "core/unicode_text.h"

namespace tamrin {
namespace {

constexpr std::array<std::string_view, 4> kExcludedAddresses = {"0.0.0.0", "::", "127.0.0.1",
                                                                "::1"};

bool isExcluded(const std::string& address) {
  return std::find(kExcludedAddresses.begin(), kExcludedAddresses.end(), address) !=
         kExcludedAddresses.end();
}

// One host name's outcome: its addresses, or what its lookup threw.
struct LookupResult {
  std::vector<std::string> addresses;
  std::exception_ptr failure;
};

// Looks up `hostnames` with up to `workers` threads (the calling one included); each result
// lands at its name's index, so the outcome is the same for every number of workers.
std::vector<LookupResult> lookUpAll(const std::vector<std::string>& hostnames,
                                    const HostLookup& lookup, std::size_t workers) {
  std::vector<LookupResult> results(hostnames.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < hostnames.size(); i = next++) {
      try {
        results[i].addresses = lookup(hostnames[i]);
      } catch (...) {
        results[i].failure = std::current_exception();
      }
    }
  };
  {
    std::vector<std::jthread> helpers;
    const std::size_t helperCount = std::min(workers, hostnames.size()) - 1;
    helpers.reserve(helperCount);
    for (std::size_t i = 0; i < helperCount; ++i) {
      try {
        helpers.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // fewer threads only make it slower; the calling thread does the rest
      }
    }
    work();
  }  // joins the helpers
  return results;
}

}  // namespace

std::vector<std::string> systemHostLookup(const std::string& hostname) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = 0;
  hints.ai_protocol = 0;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* list = nullptr;
  if (::getaddrinfo(hostname.c_str(), nullptr, &hints, &list) != 0) return {};
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, &::freeaddrinfo);

  std::vector<std::string> addresses;
  for (const addrinfo* record = list; record != nullptr; record = record->ai_next) {
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(record->ai_addr, record->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0) {
      continue;
    }
    addresses.push_back(decodeUtf8Lossy(text));
  }
  return addresses;
}

std::vector<std::string> resolvedAddresses(const std::vector<std::string>& domains) {
  return resolvedAddresses(domains, systemHostLookup, kMaxConcurrentLookups);
}

std::vector<std::string> resolvedAddresses(const std::vector<std::string>& domains,
                                           const HostLookup& lookup,
                                           std::size_t maxConcurrentLookups) {
  const std::vector<std::string> hostnames = blockedHostnames(domains);
  std::set<std::string> addresses;
  if (!hostnames.empty()) {
    for (LookupResult& result :
         lookUpAll(hostnames, lookup, std::max<std::size_t>(maxConcurrentLookups, 1))) {
      if (result.failure) std::rethrow_exception(result.failure);
      for (std::string& address : result.addresses) {
        if (!isExcluded(address)) addresses.insert(std::move(address));
      }
    }
  }
  if (addresses.empty()) throw TamrinError(TamrinError::Kind::domainResolution);
  return {addresses.begin(), addresses.end()};
}

}  // namespace tamrin
