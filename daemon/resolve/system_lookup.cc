#include "daemon/resolve/system_lookup.h"

#include "core/blocked_hostnames.h"
#include "daemon/resolve/address_list.h"

namespace tamrin {
namespace {

bool lacks(const std::optional<std::vector<std::string>>& list) { return !list || list->empty(); }

}  // namespace

std::optional<SystemLookupPlan> planSystemLookup(const TamrinPolicy& policy, bool blocking,
                                                 Instant at, const Calendar& calendar) {
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
