#include "daemon/resolve/address_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <set>

#include "core/blocked_hostnames.h"

namespace tamrin {
namespace {

bool isRoutableIPv4(const in_addr& address) {
  const std::uint32_t value = ntohl(address.s_addr);
  const std::uint32_t first = value >> 24;
  if (first == 0 || first == 127) return false;            // this network, loopback
  if ((value & 0xffff0000u) == 0xa9fe0000u) return false;  // 169.254/16 link-local
  if (first >= 224) return false;                          // multicast, reserved, broadcast
  return true;
}

bool isRoutableIPv6(const in6_addr& address) {
  if (IN6_IS_ADDR_UNSPECIFIED(&address) || IN6_IS_ADDR_LOOPBACK(&address) ||
      IN6_IS_ADDR_LINKLOCAL(&address) || IN6_IS_ADDR_MULTICAST(&address)) {
    return false;
  }
  if (IN6_IS_ADDR_V4MAPPED(&address) || IN6_IS_ADDR_V4COMPAT(&address)) {
    in_addr embedded;
    std::copy(address.s6_addr + 12, address.s6_addr + 16,
              reinterpret_cast<unsigned char*>(&embedded.s_addr));
    return isRoutableIPv4(embedded);
  }
  return true;
}

std::vector<std::string> orEmpty(const std::optional<std::vector<std::string>>& list) {
  return list.value_or(std::vector<std::string>{});
}

}  // namespace

bool isRoutableAddress(std::string_view address) {
  const std::string text(address);
  if (text.size() != address.size()) return false;
  in_addr v4;
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return isRoutableIPv4(v4);
  in6_addr v6;
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) return isRoutableIPv6(v6);
  return false;
}

std::vector<std::string> routableAddresses(const std::vector<std::string>& addresses) {
  std::vector<std::string> routable;
  for (const std::string& address : addresses) {
    if (isRoutableAddress(address)) routable.push_back(address);
  }
  return routable;
}

std::vector<std::string> usableAddresses(const std::vector<HostAnswer>& answers) {
  std::set<std::string> usable;
  for (const HostAnswer& answer : answers) {
    std::set<std::string> ofName;
    for (const std::string& address : answer.addresses) {
      if (ofName.size() == kMaxAddressesPerName) break;
      if (isRoutableAddress(address)) ofName.insert(address);
    }
    usable.insert(ofName.begin(), ofName.end());
  }
  return {usable.begin(), usable.end()};
}

std::size_t addressCap(std::size_t hostnameCount) {
  return std::min(kMaxAddressesInAll,
                  kMaxAddressesPerName * std::max<std::size_t>(hostnameCount, 1));
}

std::vector<std::string> mergedAddresses(const std::vector<std::string>& current,
                                         const std::vector<std::string>& fresh, std::size_t cap) {
  std::set<std::string> merged(current.begin(), current.end());
  const std::set<std::string> candidates(fresh.begin(), fresh.end());
  for (const std::string& address : candidates) {
    if (merged.size() >= cap) break;
    merged.insert(address);
  }
  return {merged.begin(), merged.end()};
}

std::optional<std::vector<std::string>> freshStartAddresses(
    const std::optional<std::vector<std::string>>& system, const DirectResolution& direct,
    std::size_t cap) {
  if (!direct.complete) return std::nullopt;
  std::vector<std::string> fresh = mergedAddresses({}, routableAddresses(orEmpty(system)), cap);
  fresh = mergedAddresses(fresh, usableAddresses(direct.answers), cap);
  if (fresh.empty()) return std::nullopt;
  return fresh;
}

double refreshInterval(const DirectResolution& direct) {
  if (usableAddresses(direct.answers).empty()) return kShortestRefreshInterval;
  std::optional<std::uint32_t> shortest;
  for (const HostAnswer& answer : direct.answers) {
    if (answer.ttl && (!shortest || *answer.ttl < *shortest)) shortest = answer.ttl;
  }
  if (!shortest) return kLongestRefreshInterval;
  return std::clamp(static_cast<double>(*shortest), kShortestRefreshInterval,
                    kLongestRefreshInterval);
}

namespace {

// With named blocks: each domain's list grown by the answers for its own host names, or,
// before a block, replaced by them when the resolution was complete.
std::optional<TamrinPolicy> policyAfterDomainRefresh(const TamrinPolicy& policy,
                                                     const RefreshPlan& plan,
                                                     const DirectResolution& direct) {
  std::optional<TamrinPolicy> updated;
  for (const std::string& domain : plan.domains) {
    const std::vector<std::string> hostnames = blockedHostnames({domain});
    std::vector<HostAnswer> answers;
    for (const HostAnswer& answer : direct.answers) {
      if (std::find(hostnames.begin(), hostnames.end(), answer.hostname) != hostnames.end()) {
        answers.push_back(answer);
      }
    }
    const std::size_t cap = addressCap(hostnames.size());
    const std::vector<std::string>& old = policy.addressesOfDomain(domain);
    std::vector<std::string> fresh;
    if (plan.kind == RefreshPlan::Kind::freshStart && direct.complete) {
      fresh = mergedAddresses({}, usableAddresses(answers), cap);
    }
    if (fresh.empty()) fresh = mergedAddresses(old, usableAddresses(answers), cap);
    if (fresh == old) continue;
    if (!updated) updated = policy;
    updated->addressesByDomain[domain] = std::move(fresh);
  }
  return updated;
}

}  // namespace

std::optional<RefreshPlan> planAddressRefresh(const TamrinPolicy& policy, Instant at,
                                              const Calendar& calendar,
                                              std::optional<Instant> nextRefresh,
                                              double lookAhead) {
  if (policy.shouldEnforce(at, calendar)) {
    if (nextRefresh && at < *nextRefresh) return std::nullopt;
    if (policy.usesNamedBlocks()) {
      return RefreshPlan{.kind = RefreshPlan::Kind::grow,
                         .domains = policy.enforcedSites(at, calendar).domains,
                         .byDomain = true};
    }
    return RefreshPlan{RefreshPlan::Kind::grow, policy.configuration.domains, false};
  }
  const Instant start = policy.nextEnforcementTransition(at, calendar);
  if (start - at > lookAhead || !policy.shouldEnforce(start, calendar)) return std::nullopt;
  if (policy.usesNamedBlocks()) {
    return RefreshPlan{.kind = RefreshPlan::Kind::freshStart,
                       .domains = policy.enforcedSites(start, calendar).domains,
                       .byDomain = true};
  }
  const bool pending = policy.pendingConfiguration && policy.pendingConfigurationAppliesAt &&
                       !(start < *policy.pendingConfigurationAppliesAt);
  return RefreshPlan{RefreshPlan::Kind::freshStart,
                     pending ? policy.pendingConfiguration->domains : policy.configuration.domains,
                     pending};
}

std::optional<TamrinPolicy> policyAfterRefresh(
    const TamrinPolicy& policy, const RefreshPlan& plan,
    const std::optional<std::vector<std::string>>& system, const DirectResolution& direct,
    Instant at, const Calendar& calendar) {
  const bool grow = plan.kind == RefreshPlan::Kind::grow;
  if (policy.shouldEnforce(at, calendar) != grow) return std::nullopt;
  if (plan.byDomain) {
    if (!policy.usesNamedBlocks()) return std::nullopt;
    return policyAfterDomainRefresh(policy, plan, direct);
  }
  if (policy.usesNamedBlocks()) return std::nullopt;
  if (plan.pending && !policy.pendingConfiguration) return std::nullopt;
  const TamrinConfiguration& target =
      plan.pending ? *policy.pendingConfiguration : policy.configuration;
  if (target.domains != plan.domains) return std::nullopt;

  const std::size_t cap = addressCap(blockedHostnames(plan.domains).size());
  const std::optional<std::vector<std::string>>& old =
      plan.pending ? policy.pendingResolvedAddresses : policy.resolvedAddresses;
  std::optional<std::vector<std::string>> fresh;
  if (!grow) fresh = freshStartAddresses(system, direct, cap);
  if (!fresh) {
    // Add-only: during a block always, before one when the fresh resolution failed.
    fresh = mergedAddresses(orEmpty(old), usableAddresses(direct.answers), cap);
    if (fresh->size() == orEmpty(old).size()) return std::nullopt;
  } else if (old && *old == *fresh) {
    return std::nullopt;
  }
  TamrinPolicy updated = policy;
  (plan.pending ? updated.pendingResolvedAddresses : updated.resolvedAddresses) = std::move(fresh);
  return updated;
}

}  // namespace tamrin
