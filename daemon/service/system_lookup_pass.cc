// The service's system lookups: planned by a reconciliation, resolved with the lock released,
// stored (and enforced) with it held again.
#include <chrono>
#include <utility>

#include "core/blocked_hostnames.h"
#include "core/regular_file.h"
#include "daemon/resolve/hosts_file_addresses.h"
#include "daemon/resolve/system_resolver.h"
#include "daemon/service/daemon_service.h"

namespace tamrin {

namespace {

// The routable addresses (capped) that the lines of `hostsText` give the blocked host names of
// `domains`; none when the text is not understood (the lookups decide).
std::vector<std::string> siteAddressesIn(const std::string& hostsText,
                                         const std::vector<std::string>& domains) {
  const std::vector<std::string> hostnames = blockedHostnames(domains);
  try {
    return mergedAddresses({}, routableAddresses(hostsFileAddresses(hostsText, hostnames)),
                           addressCap(hostnames.size()));
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

std::optional<std::string> DaemonService::hostsFileText() const {
  try {
    return readRegularFile(hosts_.editedPath(), kMaximumHostsFileBytes).bytes;
  } catch (const std::exception&) {
    return std::nullopt;  // unreadable: the lookups decide
  }
}

std::optional<std::vector<std::string>> DaemonService::hostsFileSiteAddresses(
    const std::vector<std::string>& domains) const {
  const std::optional<std::string> text = hostsFileText();
  if (!text) return std::nullopt;
  std::vector<std::string> addresses = siteAddressesIn(*text, domains);
  if (addresses.empty()) return std::nullopt;
  return addresses;
}

bool DaemonService::takeHostsFileAddresses(TamrinPolicy& policy, Instant at,
                                           const Calendar& calendar, bool everyBlock) const {
  std::vector<std::string> lacking;
  for (const std::string& domain : policy.enforcedSites(at, calendar, everyBlock).domains) {
    if (policy.addressesOfDomain(domain).empty()) lacking.push_back(domain);
  }
  if (lacking.empty()) return false;
  const std::optional<std::string> text = hostsFileText();  // read once for every domain
  if (!text) return false;
  bool took = false;
  for (const std::string& domain : lacking) {
    std::vector<std::string> addresses = siteAddressesIn(*text, {domain});
    if (addresses.empty()) continue;
    policy.addressesByDomain[domain] = std::move(addresses);
    took = true;
  }
  return took;
}

void DaemonService::lookUpWantedSystemAddresses() {
  SystemLookupPlan plan;
  {
    MutexLock guard(lock_);
    if (!systemLookupWanted_ || systemLookupRunning_) return;
    plan = *std::exchange(systemLookupWanted_, std::nullopt);
    systemLookupRunning_ = true;
  }
  if (plan.byDomain) {
    lookUpDomains(plan);
    return;
  }
  const std::optional<std::vector<std::string>> addresses = tryResolve(plan.domains);

  MutexLock guard(lock_);
  systemLookupRunning_ = false;
  // Answers count only if no block reached the hosts file meanwhile: else they may be our sinks.
  if (!addresses || store_.loadFailed() || !store_.policy() || !mayResolve()) return;
  auto updated = policyAfterSystemLookup(*store_.policy(), plan, *addresses);
  if (!updated) return;
  store_.keep(std::move(*updated));  // written at the end of the pass
  if (plan.pending) return;          // kept for the staged configuration's first block
  if (policyBlocksLocked(clock_.now())) {
    inPlace_.managedBlocks = enforcement_.enforceFilter(demandFor(store_.policy(), true, clock_.now()));
  }
}

void DaemonService::lookUpDomains(const SystemLookupPlan& plan) {
  // One domain at a time, for as long as one lookup of a list may take: silent servers never
  // hold the timer's thread for long, and the domains left over wait for the next pass.
  std::map<std::string, std::vector<std::string>> found;
  const auto deadline = std::chrono::steady_clock::now() + kSystemLookupLimit;
  for (const std::string& domain : plan.domains) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    if (auto addresses = tryResolve({domain})) found[domain] = std::move(*addresses);
  }
  MutexLock guard(lock_);
  systemLookupRunning_ = false;
  // Answers count only if no block reached the hosts file meanwhile: else they may be our sinks.
  if (store_.loadFailed() || !store_.policy() || !mayResolve()) return;
  auto updated = policyAfterDomainLookup(*store_.policy(), found);
  if (!updated) return;
  store_.keep(std::move(*updated));  // written at the end of the pass
  const Instant now = clock_.now();
  if (policyBlocksLocked(now)) {
    inPlace_.managedBlocks = enforcement_.enforceFilter(demandFor(store_.policy(), true, now));
  }
}

}  // namespace tamrin
