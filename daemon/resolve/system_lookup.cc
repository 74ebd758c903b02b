#include "daemon/resolve/system_lookup.h"

#include <algorithm>

#include "core/blocked_hostnames.h"
#include "daemon/resolve/address_list.h"

namespace tamrin {
namespace {

bool lacks(const std::optional<std::vector<std::string>>& list) { return !list || list->empty(); }

bool lacksDomain(const TamrinPolicy& policy, const std::string& domain) {
  return policy.addressesOfDomain(domain).empty();
}

}  // namespace

std::optional<SystemLookupPlan> planDomainLookup(const TamrinPolicy& policy) {
  SystemLookupPlan plan{.domains = {}, .pending = false, .byDomain = true};
  for (const std::string& domain : policy.domainsThatMayGovern()) {
    if (!lacksDomain(policy, domain)) continue;
    plan.domains.push_back(domain);
    if (plan.domains.size() == kMaxDomainsPerLookup) break;
  }
  if (plan.domains.empty()) return std::nullopt;
  return plan;
}

std::optional<TamrinPolicy> policyAfterDomainLookup(
    const TamrinPolicy& policy, const std::map<std::string, std::vector<std::string>>& addresses) {
  std::optional<TamrinPolicy> updated;
  const std::vector<std::string> governing = policy.domainsThatMayGovern();
  for (const auto& [domain, found] : addresses) {
    if (!lacksDomain(policy, domain) ||
        std::find(governing.begin(), governing.end(), domain) == governing.end()) {
      continue;
    }
    std::vector<std::string> usable = mergedAddresses(
        {}, routableAddresses(found), addressCap(blockedHostnames({domain}).size()));
    if (usable.empty()) continue;
    if (!updated) updated = policy;
    updated->addressesByDomain[domain] = std::move(usable);
  }
  return updated;
}

std::optional<SystemLookupPlan> planSystemLookup(const TamrinPolicy& policy, bool blocking,
                                                 Instant at, const Calendar& calendar) {
  if (policy.usesNamedBlocks()) return planDomainLookup(policy);
  if (!blocking && policy.pendingConfiguration) {
    if (!policy.needsPendingAddressResolution(at, calendar)) return std::nullopt;
    return SystemLookupPlan{policy.pendingConfiguration->domains, true};
  }
  if (!lacks(policy.resolvedAddresses)) return std::nullopt;
  return SystemLookupPlan{policy.configuration.domains, false};
}

std::optional<TamrinPolicy> policyAfterSystemLookup(const TamrinPolicy& policy,
                                                    const SystemLookupPlan& plan,
                                                    const std::vector<std::string>& addresses) {
  if (plan.pending && !policy.pendingConfiguration) return std::nullopt;
  const TamrinConfiguration& target =
      plan.pending ? *policy.pendingConfiguration : policy.configuration;
  if (target.domains != plan.domains) return std::nullopt;
  if (!lacks(plan.pending ? policy.pendingResolvedAddresses : policy.resolvedAddresses)) {
    return std::nullopt;
  }
  std::vector<std::string> usable = mergedAddresses(
      {}, routableAddresses(addresses), addressCap(blockedHostnames(plan.domains).size()));
  if (usable.empty()) return std::nullopt;
  TamrinPolicy updated = policy;
  (plan.pending ? updated.pendingResolvedAddresses : updated.resolvedAddresses) = std::move(usable);
  return updated;
}

}  // namespace tamrin
