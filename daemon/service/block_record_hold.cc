// The daemon's side of the block record: keeping it, and holding a recorded block that the
// policy as loaded would not keep.
#include <algorithm>

#include "daemon/service/daemon_service.h"

namespace tamrin {
namespace {

// A recorded end within this of the policy's own is that same end.
constexpr double kEndJitter = 1.0;

bool includes(const std::vector<std::string>& all, const std::vector<std::string>& some) {
  return std::all_of(some.begin(), some.end(), [&](const std::string& item) {
    return std::find(all.begin(), all.end(), item) != all.end();
  });
}

// `into` followed by the items of `more` it does not hold yet.
void appendMissing(std::vector<std::string>& into, const std::vector<std::string>& more) {
  for (const std::string& item : more) {
    if (std::find(into.begin(), into.end(), item) == into.end()) into.push_back(item);
  }
}

}  // namespace

void DaemonService::holdRecordedBlock() {
  MutexLock guard(lock_);
  if (!records_) return;
  const std::optional<BlockRecord> record = records_->load();
  if (!record) return;
  const Instant now = clock_.now();
  recordHold_ = RecordHold{.record = *record, .reason = {}};
  const std::optional<Instant> end = recordHoldEndLocked(now);
  if (!end) return;
  std::string reason;
  if (store_.loadFailed()) {
    reason = "The blocking state could not be read when the daemon started";
  } else if (!store_.policy()) {
    reason = "The blocking state was missing when the daemon started";
  } else if (!policyKeepsRecordLocked(*record, now, *end)) {
    reason = "The blocking state was changed while the daemon was stopped";
  } else {
    recordHold_.reset();
    return;
  }
  recordHold_->reason =
      reason + "; the running block stays in force until " + blockRecordEndText(*end) + ".";
}

std::optional<Instant> DaemonService::recordHoldEndLocked(Instant at) {
  if (!recordHold_) return std::nullopt;
  const std::optional<double> remaining =
      remainingHoldOrWallEnd(recordHold_->record.end, readBootClock(), at);
  if (!remaining) {
    recordHold_.reset();
    return std::nullopt;
  }
  return at + *remaining;
}

bool DaemonService::policyKeepsRecordLocked(const BlockRecord& record, Instant now, Instant end) {
  const TamrinPolicy& policy = *store_.policy();
  const std::optional<Instant> policyEnd =
      policyBlockEnd(policy, readBootClock(), now, clock_.calendar());
  if (!policyEnd || *policyEnd + kEndJitter < end) return false;
  const EnforcedSites sites = policy.enforcedSites(now, clock_.calendar());
  return includes(sites.domains, record.domains) && includes(sites.addresses, record.addresses);
}

void DaemonService::reconcileRecordHoldLocked(Instant at) {
  const BlockRecord& record = recordHold_->record;
  std::vector<std::string> domains = record.domains;
  std::vector<std::string> addresses = record.addresses;
  TamrinConfiguration configuration = TamrinConfiguration::standard();
  if (const std::optional<TamrinPolicy>& policy = store_.policy()) {
    if (!policy->usesNamedBlocks()) configuration = policy->configuration;
    if (policy->shouldEnforce(at, clock_.calendar())) {
      const EnforcedSites sites = policy->enforcedSites(at, clock_.calendar());
      appendMissing(domains, sites.domains);
      appendMissing(addresses, sites.addresses);
    }
  }
  configuration.domains = std::move(domains);
  TamrinPolicy enforced(std::move(configuration));
  enforced.resolvedAddresses = std::move(addresses);
  enforceLocked(enforced, true, at);
  passHeldOnly_ = true;
  if (records_) records_->keep(record, recordRecheckLocked());
}

void DaemonService::keepBlockRecordLocked(const std::optional<TamrinPolicy>& policy,
                                          bool blocking, Instant at, bool everyBlock) {
  if (!records_) return;
  const bool recheck = recordRecheckLocked();
  if (!blocking || !policy) {
    records_->keep(std::nullopt, recheck);
    return;
  }
  // Without a hold there is no end to record: the copies stay as they are.
  if (!policy->blockHold || !policy->blockHold->endsAt) return;
  EnforcedSites sites = policy->enforcedSites(at, clock_.calendar(), everyBlock);
  records_->keep(BlockRecord{.end = *policy->blockHold,
                             .domains = std::move(sites.domains),
                             .addresses = std::move(sites.addresses)},
                 recheck);
}

bool DaemonService::recordRecheckLocked() {
  const std::uint64_t changes = filterWatch_.changes();
  const bool recheck = !filterWatch_.watched() || recordCheckedAtChanges_ != changes;
  recordCheckedAtChanges_ = changes;
  return recheck;
}

}  // namespace tamrin
