#include "core/configuration_limits.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "core/json_coding.h"

namespace tamrin {
namespace {

constexpr std::size_t kListBudget = 192 * 1024;

// Keeps the entries from the start of `list` whose encodings, with a separator each, fit.
void cutToBudget(std::vector<std::string>& list) {
  std::size_t used = 0;
  std::size_t kept = 0;
  for (; kept < list.size(); ++kept) {
    const std::size_t cost = dumpJson(nlohmann::json(list[kept])).size() + 1;
    if (used + cost > kListBudget) break;
    used += cost;
  }
  list.resize(kept);
}

void cutToBudget(std::optional<std::vector<std::string>>& list) {
  if (list) cutToBudget(*list);
}

}  // namespace

void requireReportableSize(const TamrinConfiguration& configuration) {
  const std::size_t bytes = encodeConfiguration(configuration).size();
  if (configuration.domains.size() <= kMaxConfigurationDomains && bytes <= kMaxConfigurationBytes) {
    return;
  }
  throw ConfigurationTooLargeError(
      "The configuration is too large (" + std::to_string(configuration.domains.size()) +
      " domains, " + std::to_string(bytes) + " bytes of JSON); Tamrin accepts at most " +
      std::to_string(kMaxConfigurationDomains) + " domains and " +
      std::to_string(kMaxConfigurationBytes) + " bytes.");
}

std::string encodeReportableStatus(DaemonStatus status, std::size_t limit) {
  std::string encoded = encodeDaemonStatus(status);
  if (encoded.size() <= limit || !status.policy) return encoded;
  TamrinPolicy& policy = *status.policy;
  cutToBudget(policy.resolvedAddresses);
  cutToBudget(policy.pendingResolvedAddresses);
  encoded = encodeDaemonStatus(status);
  if (encoded.size() <= limit) return encoded;
  cutToBudget(policy.configuration.domains);
  if (policy.pendingConfiguration) cutToBudget(policy.pendingConfiguration->domains);
  return encodeDaemonStatus(status);
}

}  // namespace tamrin
