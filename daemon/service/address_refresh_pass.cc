// The service's refresh of resolved addresses: planned inside a reconciliation pass, resolved
// with the lock released, merged and enforced with it held again.
#include <algorithm>
#include <exception>
#include <iterator>

#include "core/blocked_hostnames.h"
#include "daemon/service/daemon_service.h"

namespace tamrin {
namespace {

// A pass this close to a block start is the last one before it (passes are at most this far
// apart).
constexpr double kLastPassWindow = 60.0;

std::vector<std::string> orEmpty(const std::optional<std::vector<std::string>>& list) {
  return list.value_or(std::vector<std::string>{});
}

}  // namespace

std::optional<RefreshPlan> DaemonService::planAddressRefreshLocked(Instant at) {
  if (!resolveDirect_ || policyLoadFailed_ || !policy_) return std::nullopt;
  auto plan =
      planAddressRefresh(*policy_, at, clock_.calendar(), nextAddressRefresh_, kLastPassWindow);
  if (plan && plan->kind == RefreshPlan::Kind::freshStart) {
    plan->askSystemResolver = mayResolve();
  }
  return plan;
}

void DaemonService::refreshAddresses(const RefreshPlan& plan) {
  std::optional<std::vector<std::string>> system;
  if (plan.askSystemResolver) {
    try {
      system = resolveDomains_(plan.domains);
    } catch (const std::exception&) {
    }
  }
  const DirectResolution direct = resolveDirect_(blockedHostnames(plan.domains));

  MutexLock guard(lock_);
  if (policyLoadFailed_ || !policy_) return;
  const Instant now = clock_.now();
  // Answers of the system resolver count only if no block reached the hosts file meanwhile.
  if (system && !mayResolve()) system.reset();
  nextAddressRefresh_ = now + refreshInterval(direct);
  const auto updated = policyAfterRefresh(*policy_, plan, system, direct, now, clock_.calendar());
  if (updated) {
    const std::vector<std::string> before = orEmpty(policy_->resolvedAddresses);
    saveOrKeepLocked(*updated);
    if (plan.kind == RefreshPlan::Kind::grow) {
      const std::vector<std::string> after = orEmpty(updated->resolvedAddresses);
      std::vector<std::string> added;
      std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                          std::back_inserter(added));
      try {
        // A filter cleared for want of addresses gets them all; one in force only the new.
        if (before.empty()) {
          packetFilter_.enable(after);
        } else {
          packetFilter_.addAddresses(added);
        }
      } catch (const std::exception&) {
        // The next pass enables the whole list.
      }
      const Calendar calendar = clock_.calendar();
      refreshProtectionState(policy_, policy_->shouldEnforce(now, calendar) ||
                                          heldBeyondSchedule(*policy_, now, calendar));
    }
  }
  armTimerLocked(now);
}

bool DaemonService::isRefreshOnlyWakeLocked(Instant at) {
  if (!resolveDirect_ || !nextPassAt_ || !(at < *nextPassAt_)) return false;
  const auto wake = addressRefreshWakeLocked(at);
  return wake && !(at < *wake);
}

std::optional<Instant> DaemonService::addressRefreshWakeLocked(Instant after) {
  if (!resolveDirect_ || !policy_ || !policy_->shouldEnforce(after, clock_.calendar())) {
    return std::nullopt;
  }
  // Never refreshed (a block that just began, a daemon that just started): at once.
  return std::max(nextAddressRefresh_.value_or(after), after);
}

}  // namespace tamrin
