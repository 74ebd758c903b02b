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
  if (policyLoadFailed_) {
    reason = "The blocking state could not be read when the daemon started";
  } else if (!policy_) {
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
  const BootAnchor& end = recordHold_->record.end;
  std::optional<double> remaining;
  if (const auto boot = readBootClock()) {
    remaining = remainingHold(end, *boot, at);
  } else if (end.endsAt && *end.endsAt - at > 0) {
    remaining = std::min(*end.endsAt - at, kLongestHold);
  }
  if (!remaining) {
    recordHold_.reset();
    return std::nullopt;
  }
  return at + *remaining;
}

bool DaemonService::policyKeepsRecordLocked(const BlockRecord& record, Instant now, Instant end) {
  const Calendar calendar = clock_.calendar();
  std::optional<Instant> policyEnd;
  if (policy_->shouldEnforce(now, calendar)) {
    policyEnd = policy_->nextScheduledAccessStart(now, calendar);
  }
  if (const auto boot = readBootClock()) {
    if (const auto held = remainingHold(policy_->bootAnchor, *boot, now)) {
      policyEnd = std::max(policyEnd.value_or(now), now + *held);
    }
  }
  return policyEnd && *policyEnd + kEndJitter >= end &&
         includes(policy_->configuration.domains, record.domains) &&
         includes(policy_->resolvedAddresses.value_or(std::vector<std::string>{}),
                  record.addresses);
}

void DaemonService::reconcileRecordHoldLocked(Instant at) {
  const BlockRecord& record = recordHold_->record;
  std::vector<std::string> domains = record.domains;
  std::vector<std::string> addresses = record.addresses;
  TamrinConfiguration configuration = TamrinConfiguration::standard();
  if (policy_) {
    configuration = policy_->configuration;
    if (policy_->shouldEnforce(at, clock_.calendar())) {
      appendMissing(domains, policy_->configuration.domains);
      appendMissing(addresses, policy_->resolvedAddresses.value_or(std::vector<std::string>{}));
    }
  }
  configuration.domains = std::move(domains);
  TamrinPolicy enforced(std::move(configuration));
  enforced.resolvedAddresses = std::move(addresses);
  reconcileProtection(true, enforced);
  refreshProtectionState(enforced, true);
  passHeldOnly_ = true;
  if (records_) records_->keep(record, recordRecheckLocked());
}

void DaemonService::keepBlockRecordLocked(const std::optional<TamrinPolicy>& policy,
                                          bool blocking) {
  if (!records_) return;
  const bool recheck = recordRecheckLocked();
  if (!blocking || !policy) {
    records_->keep(std::nullopt, recheck);
    return;
  }
  // Without a boot anchor there is no end to record: the copies stay as they are.
  if (!policy->bootAnchor || !policy->bootAnchor->endsAt) return;
  records_->keep(
      BlockRecord{.end = *policy->bootAnchor,
                  .domains = policy->configuration.domains,
                  .addresses = policy->resolvedAddresses.value_or(std::vector<std::string>{})},
      recheck);
}

bool DaemonService::recordRecheckLocked() {
  const std::uint64_t changes = filterChanges_;
  const bool recheck = !filterWatched_ || recordCheckedAtChanges_ != changes;
  recordCheckedAtChanges_ = changes;
  return recheck;
}

}  // namespace tamrin
