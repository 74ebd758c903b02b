#include "core/configuration_limits.h"

#include <nlohmann/json.hpp>
#include <iterator>
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

// Cuts the domains of the configuration, those of each of its blocks included.
void cutDomainsToBudget(TamrinConfiguration& configuration) {
  cutToBudget(configuration.domains);
  if (!configuration.blocks) return;
  for (NamedBlock& block : *configuration.blocks) cutToBudget(block.schedule.domains);
}

// The domains of all blocks, counted once for each block that lists them.
std::size_t domainCount(const TamrinConfiguration& configuration) {
  std::size_t count = configuration.domains.size();
  if (configuration.blocks) {
    for (const NamedBlock& block : *configuration.blocks) count += block.schedule.domains.size();
  }
  return count;
}

}  // namespace

void requireReportableSize(const TamrinConfiguration& configuration) {
  const std::size_t bytes = encodeConfiguration(configuration).size();
  const std::size_t domains = domainCount(configuration);
  if (domains <= kMaxConfigurationDomains && bytes <= kMaxConfigurationBytes) return;
  throw ConfigurationTooLargeError(
      "The configuration is too large (" + std::to_string(domains) +
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
  // The addresses of each domain count as one list: domains from the end go first.
  while (!policy.addressesByDomain.empty() &&
         dumpJson(nlohmann::json(policy.addressesByDomain)).size() > kListBudget) {
    policy.addressesByDomain.erase(std::prev(policy.addressesByDomain.end()));
  }
  encoded = encodeDaemonStatus(status);
  if (encoded.size() <= limit) return encoded;
  cutDomainsToBudget(policy.configuration);
  if (policy.pendingConfiguration) cutDomainsToBudget(*policy.pendingConfiguration);
  for (BlockStaging& staging : policy.pendingBlocks) {
    if (staging.previous) cutDomainsToBudget(*staging.previous);
  }
  return encodeDaemonStatus(status);
}

}  // namespace tamrin
