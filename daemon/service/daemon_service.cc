#include "daemon/service/daemon_service.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "core/configuration.h"
#include "core/configuration_limits.h"
#include "core/daemon_status.h"
#include "core/file_io.h"
#include "core/first_failure.h"
#include "core/regular_file.h"
#include "core/tamrin_error.h"
#include "core/week_coverage.h"
#include "daemon/resolve/system_lookup.h"

namespace tamrin {
namespace {

constexpr double kLongestWait = 60.0;
constexpr double kShortestWait = 0.1;
// A pass looks addresses up only when its successor is at least this far away.
constexpr double kLookupHeadroom = 5.0;
// A hold ending within this of the schedule's own end is that same end.
constexpr double kHoldJitter = 1.0;

// Creates `directory` and its missing parents; directories created here get 0700 exactly.
void createPrivateDirectories(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> missing;
  for (auto path = directory; !path.empty() && !std::filesystem::exists(path);
       path = path.parent_path()) {
    missing.push_back(path);
    if (path == path.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(),
                              "Could not create the directory " + it->string());
    }
    if (::chmod(it->c_str(), 0700) != 0) {
      throw std::system_error(errno, std::generic_category(),
                              "Could not set the permissions of " + it->string());
    }
  }
}

struct Outcome {
  std::optional<Data> data;
  std::optional<std::string> text;
};

// The reply to a handler body that threw: the error's message (a TamrinError's fixed text, or
// the description of a platform error). Call only from a catch block.
Outcome failure() {
  try {
    throw;
  } catch (const std::exception& error) {
    return {std::nullopt, std::string(error.what())};
  } catch (...) {
    return {std::nullopt, std::string("Tamrin failed for an unknown reason.")};
  }
}

// Declared before a request's lock guard, hands the outcome given to set() to the reply
// function when it goes out of scope, after the guard has released the lock: a client that is
// slow to take its reply never holds up the others. Without set() it replies nothing.
class ReplyAfterUnlock {
 public:
  explicit ReplyAfterUnlock(const Reply& reply) : reply_(reply) {}
  ~ReplyAfterUnlock() {
    if (!outcome_) return;
    try {
      reply_(std::move(outcome_->data), std::move(outcome_->text));
    } catch (...) {
      // The reply function's own failure has no one left to report to.
    }
  }
  ReplyAfterUnlock(const ReplyAfterUnlock&) = delete;
  ReplyAfterUnlock& operator=(const ReplyAfterUnlock&) = delete;

  void set(Outcome outcome) { outcome_ = std::move(outcome); }

 private:
  const Reply& reply_;
  std::optional<Outcome> outcome_;
};

std::optional<std::string> readStartBootId(const ServiceClock& clock) {
  if (!clock.boot) return std::nullopt;
  try {
    return clock.boot->bootId();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<std::string> orEmpty(const std::optional<std::vector<std::string>>& list) {
  return list.value_or(std::vector<std::string>{});
}

}  // namespace

std::shared_ptr<DaemonService> DaemonService::create(DaemonEnvironment environment) {
  auto service = std::make_shared<DaemonService>(Passkey(), environment);
  service->holdRecordedBlock();
  std::weak_ptr<DaemonService> weak = service;
  service->timer_ = std::make_unique<ReconciliationTimer>(
      [weak] {
        auto service = weak.lock();
        if (!service) return;
        service->runReconciliationPass(service->clock_.now());
        if (service->afterTimerPass_) service->afterTimerPass_();
      },
      service->timerClock_);
  // Last: a watcher's thread may report, and so reach the timer, at once.
  service->watchers_ = std::move(environment.watchers);
  service->filterWatched_ = !service->watchers_.empty();
  for (const auto& watcher : service->watchers_) {
    watcher->start([weak](ProtectionWatcher::Change change) {
      auto service = weak.lock();
      if (!service) return;
      if (change == ProtectionWatcher::Change::packetFilter) ++service->filterChanges_;
      if (change == ProtectionWatcher::Change::stopped) service->filterWatched_ = false;
      service->requestReconciliation();
    });
  }
  return service;
}

DaemonService::DaemonService(Passkey, DaemonEnvironment& environment)
    : policyURL_(std::move(environment.policyPath)),
      hosts_(std::move(environment.hosts)),
      packetFilter_(std::move(environment.packetFilter)),
      resolveDomains_(std::move(environment.resolveDomains)),
      flushDNS_(std::move(environment.flushDNS)),
      clock_(std::move(environment.clock)),
      resolveDirect_(std::move(environment.resolveDirect)),
      startBootId_(readStartBootId(clock_)),
      timerClock_(std::move(environment.timerClock)),
      afterTimerPass_(std::move(environment.afterTimerPass)),
      layers_(std::move(environment.layers)),
      records_(std::move(environment.blockRecords)) {
  loadPolicy();
}

void DaemonService::loadPolicy() {
  MutexLock guard(lock_);
  // A missing file is the normal state before blocking was first enabled. Anything else that
  // is there (a directory, a dangling link), or a path that cannot even be looked at, must be
  // read like a file, and fails: an unreadable state never passes for "not enabled".
  std::error_code error;
  const auto status = std::filesystem::symlink_status(policyURL_, error);
  if (status.type() == std::filesystem::file_type::not_found) return;  // any other error: none
  try {
    // Not blocking on a FIFO, never reading a device, at most kMaximumPolicyFileBytes.
    TamrinPolicy loaded = decodePolicy(readRegularFile(policyURL_, kMaximumPolicyFileBytes).bytes);
    if (!loaded.configuration.isValid() ||
        (loaded.pendingConfiguration && !loaded.pendingConfiguration->isValid())) {
      policyLoadFailed_ = true;
      return;
    }
    policy_ = std::move(loaded);
  } catch (const std::exception&) {
    policyLoadFailed_ = true;
  }
}

void DaemonService::start() {
  MutexLock guard(lock_);
  started_ = true;
  const Instant now = clock_.now();
  reconcileLocked(now);
  scheduleNextReconciliationLocked(now);
}

void DaemonService::runReconciliationPass(Instant at) {
  std::optional<RefreshPlan> refresh;
  {
    MutexLock guard(lock_);
    // A wake only for a refresh leaves the pass, and its deadline, as they were.
    const bool refreshOnly = isRefreshOnlyWakeLocked(at);
    if (!refreshOnly) reconcileLocked(at);
    refresh = planAddressRefreshLocked(at);
    if (refreshOnly) {
      armTimerLocked(at);
    } else {
      scheduleNextReconciliationLocked(at);
    }
    // The timer's thread runs the lookups: none that could hold up the next pass (a block's
    // start); that pass plans them again if they are still wanted.
    if (nextPassAt_ && *nextPassAt_ - at < kLookupHeadroom) systemLookupWanted_.reset();
  }
  lookUpWantedSystemAddresses();
  if (refresh) refreshAddresses(*refresh);
}

void DaemonService::requestReconciliation() {
  if (started_) timer_->request();
}

std::optional<TamrinPolicy> DaemonService::TEST_policy() const {
  MutexLock guard(lock_);
  return policy_;
}

bool DaemonService::TEST_policyNeedsSave() const {
  MutexLock guard(lock_);
  return policyNeedsSave_;
}

void DaemonService::TEST_persist(const TamrinPolicy& policy) {
  MutexLock guard(lock_);
  persist(policy);
}

std::optional<ReconciliationTimer::Deadline> DaemonService::TEST_timerDeadline() const {
  return timer_->deadline();
}

bool DaemonService::TEST_timerIdle() const { return timer_->TEST_idle(); }

void DaemonService::TEST_timerClockChanged() { timer_->clockChanged(); }

// Requests.

void DaemonService::getStatus(Reply reply) {
  ReplyAfterUnlock answer(reply);
  MutexLock guard(lock_);
  Outcome outcome;
  try {
    outcome.data = statusLocked();
  } catch (...) {
    outcome = failure();
  }
  answer.set(std::move(outcome));
}

void DaemonService::enableBlocking(const Data& argument, Reply reply) {
  {
    ReplyAfterUnlock answer(reply);
    MutexLock guard(lock_);
    const Instant now = clock_.now();
    Outcome outcome;
    try {
      enableBlockingLocked(argument, now);
    } catch (...) {
      outcome = failure();
    }
    answer.set(std::move(outcome));
    scheduleNextReconciliationLocked(now);
  }
  lookUpWantedSystemAddresses();  // after the reply
}

void DaemonService::updateConfiguration(const Data& argument, Reply reply) {
  {
    ReplyAfterUnlock answer(reply);
    MutexLock guard(lock_);
    const Instant now = clock_.now();
    Outcome outcome;
    try {
      updateConfigurationLocked(argument, now);
    } catch (...) {
      outcome = failure();
    }
    answer.set(std::move(outcome));
    scheduleNextReconciliationLocked(now);
  }
  lookUpWantedSystemAddresses();  // after the reply
}

void DaemonService::prepareForRemoval(Reply reply) {
  ReplyAfterUnlock answer(reply);
  MutexLock guard(lock_);
  Outcome outcome;
  try {
    prepareForRemovalLocked();
  } catch (...) {
    outcome = failure();
  }
  answer.set(std::move(outcome));
}

Data DaemonService::statusLocked() {
  const Instant now = clock_.now();
  const std::optional<Instant> recordEnd = recordHoldEndLocked(now);
  if (policyLoadFailed_ && !recordEnd) throw TamrinError(TamrinError::Kind::policyUnavailable);
  std::optional<bool> blocked;
  std::optional<Instant> heldUntil;
  if (policy_) {
    const Calendar calendar = clock_.calendar();
    heldUntil = heldBeyondSchedule(*policy_, now, calendar);
    blocked = policy_->shouldEnforce(now, calendar) || heldUntil.has_value();
    if (recordEnd) {  // the recorded block, when it outlasts the policy's own
      const Instant ownEnd =
          heldUntil ? *heldUntil
                    : (*blocked ? policy_->nextScheduledAccessStart(now, calendar) : now);
      if (ownEnd < *recordEnd) heldUntil = recordEnd;
    }
  }
  if (recordEnd) blocked = true;
  return encodeReportableStatus(DaemonStatus{
      .blocked = blocked,
      .managedHostsBlockPresent = managedHostsBlockPresent_,
      .managedPacketFilterBlockPresent = managedPacketFilterBlockPresent_,
      .policy = policy_,
      .blockHeldUntil = heldUntil,
      .layersInForce = layerReport_.inForce,
      .layerProblems = statusProblemsLocked(),
  });
}

std::map<std::string, std::string> DaemonService::statusProblemsLocked() const {
  auto problems = layerReport_.problems;
  if (recordHold_) problems["blockingState"] = recordHold_->reason;
  if (bootIdChanged_) {
    problems["bootClock"] =
        "The boot id changed while the daemon ran; blocks are held by the one it started with.";
  }
  return problems;
}

void DaemonService::enableBlockingLocked(const Data& argument, Instant now) {
  // A stored state that could not be used is replaced by a valid first configuration.
  if (policy_) throw TamrinError(TamrinError::Kind::policyAlreadyActive);
  const TamrinConfiguration configuration = decodeConfiguration(argument);
  requireReportableSize(configuration);
  requireScheduleThatEnds(configuration);
  if (!configuration.isValid()) throw TamrinError(TamrinError::Kind::invalidConfiguration);
  persist(TamrinPolicy(configuration));
  policyLoadFailed_ = false;
  reconcileLocked(now);
}

void DaemonService::updateConfigurationLocked(const Data& argument, Instant now) {
  if (policyLoadFailed_) throw TamrinError(TamrinError::Kind::policyUnavailable);
  // A staged change that became due is applied and saved before another is staged on it.
  reconcileLocked(now);
  if (!policy_) throw TamrinError(TamrinError::Kind::noPolicy);
  const TamrinConfiguration configuration = decodeConfiguration(argument);
  requireReportableSize(configuration);
  requireScheduleThatEnds(configuration);
  if (!configuration.isValid()) throw TamrinError(TamrinError::Kind::invalidConfiguration);
  std::optional<std::vector<std::string>> carried;
  if (configuration.domains == policy_->configuration.domains) {
    carried = policy_->resolvedAddresses;
  }
  TamrinPolicy staged = *policy_;
  const Calendar calendar = clock_.calendar();
  // A block held past its schedule runs until the hold ends: the change waits for that.
  staged.stageConfiguration(configuration, now, std::move(carried), calendar,
                            heldBeyondSchedule(staged, now, calendar));
  persist(staged);
  reconcileLocked(now);
}

void DaemonService::prepareForRemovalLocked() {
  if (recordHoldEndLocked(clock_.now())) throw TamrinError(TamrinError::Kind::focusRemovalLocked);
  // Without a usable state, protection found in force (or not measurable) is taken for a
  // running block; once none is, the unusable state goes with the rest.
  if (policyLoadFailed_ && protectionMayBeInForce()) {
    throw TamrinError(TamrinError::Kind::focusRemovalLocked);
  }
  if (policy_) {
    const Instant now = clock_.now();
    const Calendar calendar = clock_.calendar();
    policy_->validateRemoval(now, calendar);
    if (heldBeyondSchedule(*policy_, now, calendar)) {
      throw TamrinError(TamrinError::Kind::focusRemovalLocked);
    }
  }
  removeSystemProtection();
  std::filesystem::remove(policyURL_);  // no file is no failure; any other error is
  policy_.reset();
  policyLoadFailed_ = false;
  managedHostsBlockPresent_ = false;
  managedPacketFilterBlockPresent_ = false;
  layerReport_ = {};
}

bool DaemonService::protectionMayBeInForce() const {
  try {
    return hosts_.containsManagedBlock(std::nullopt) ||
           packetFilter_.containsManagedBlock(std::nullopt);
  } catch (const std::exception&) {
    return true;
  }
}

void DaemonService::removeSystemProtection() {
  FirstFailure failures;
  failures.attempt([&] { hosts_.setBlocked(false, TamrinConfiguration::standard().domains); });
  confirmedFilter_.reset();
  failures.attempt([&] { packetFilter_.disable(); });
  failures.attempt([&] { flushDNS_(); });
  if (const auto layers = layers_) failures.attempt([&] { layers->removeAll(); });
  if (auto* records = records_.get()) failures.attempt([records] { records->clear(); });
  failures.rethrow();
}

void DaemonService::persist(const TamrinPolicy& policy) {
  const std::string encoded = encodePolicy(policy);
  // Never stored beyond what loadPolicy reads back.
  if (encoded.size() > kMaximumPolicyFileBytes) {
    throw std::length_error("The policy would be too large to be read again.");
  }
  createPrivateDirectories(policyURL_.parent_path());
  writeFileAtomically(policyURL_, encoded, 0600);
  policy_ = policy;
  policyNeedsSave_ = false;
}

// Reconciliation.

void DaemonService::saveOrKeepLocked(const TamrinPolicy& policy) {
  try {
    persist(policy);
  } catch (const std::exception&) {
    // Kept in force; a later pass writes it.
    policy_ = policy;
    policyNeedsSave_ = true;
  }
}

std::optional<std::vector<std::string>> DaemonService::tryResolve(
    const std::vector<std::string>& domains) const {
  try {
    // Our own sinks are what a block in the hosts file answers: never addresses of a site.
    std::vector<std::string> addresses = resolveDomains_(domains);
    const size_t answered = addresses.size();
    std::erase_if(addresses, [](const std::string& a) { return a == "0.0.0.0" || a == "::"; });
    if (addresses.empty() && answered > 0) return std::nullopt;
    return addresses;
  } catch (...) {
    return std::nullopt;  // whatever the resolver threw: nothing learned
  }
}

bool DaemonService::mayResolve() {
  // The system resolver reads the hosts file itself: a FIFO would block it for ever and a
  // device may never end.
  if (hosts_.isDeviceFifoOrSocket()) return false;
  try {
    return !hosts_.containsManagedBlock(std::nullopt);
  } catch (const std::exception&) {
    return true;  // unreadable or not understood: our sinks are dropped from the answers
  }
}

void DaemonService::reconcileLocked(Instant at) {
  systemLookupWanted_.reset();
  // A recorded block that the policy as loaded does not keep stays until its end.
  if (recordHoldEndLocked(at)) {
    reconcileRecordHoldLocked(at);
    return;
  }
  if (policyLoadFailed_) return;
  if (policyNeedsSave_ && policy_) {
    try {
      persist(*policy_);
    } catch (const std::exception&) {
      // Still unsaved; policyNeedsSave_ stays true.
    }
  }
  if (!policy_) {
    reconcileProtection(false, std::nullopt);
    refreshProtectionState(std::nullopt, false);
    keepBlockRecordLocked(std::nullopt, false);
    return;
  }
  const Calendar calendar = clock_.calendar();
  TamrinPolicy working = *policy_;
  const std::optional<BootReading> boot = readBootClock();
  // While a block is held on the boot clock its configuration stays: a staged change waits.
  const auto hold = boot ? remainingHold(working.bootAnchor, *boot, at) : std::nullopt;
  const bool heldBefore = hold && *hold > kHoldJitter;
  if (!heldBefore && working.applyPendingConfigurationIfNeeded(at)) saveOrKeepLocked(working);

  const bool scheduled = working.shouldEnforce(at, calendar);
  if (boot) {
    auto anchor = updatedAnchor(
        working.bootAnchor, *boot, at,
        scheduled ? std::optional(working.nextScheduledAccessStart(at, calendar)) : std::nullopt);
    if (anchor != working.bootAnchor) {
      working.bootAnchor = std::move(anchor);
      saveOrKeepLocked(working);
    }
  }
  const bool shouldBlock = scheduled || (boot && remainingHold(working.bootAnchor, *boot, at));
  passHeldOnly_ = shouldBlock && !scheduled;
  // A block without addresses starts with those that the hosts file's own lines give its
  // sites: read from the file, waiting on no server, so the rules can go in with the block.
  if (shouldBlock && orEmpty(working.resolvedAddresses).empty()) {
    if (auto addresses = hostsFileSiteAddresses(working.configuration.domains)) {
      working.resolvedAddresses = std::move(addresses);
      saveOrKeepLocked(working);
    }
  }
  reconcileProtection(shouldBlock, working);
  // Missing addresses are looked up once the lock is released (lookUpWantedSystemAddresses),
  // and only while the hosts file holds no managed block, so that the answers are the sites'
  // own; a starting block's hosts entries never wait for them.
  if (mayResolve()) systemLookupWanted_ = planSystemLookup(working, shouldBlock, at, calendar);
  refreshProtectionState(working, shouldBlock);
  keepBlockRecordLocked(working, shouldBlock);
}

void DaemonService::reconcileProtection(bool shouldBlock,
                                        const std::optional<TamrinPolicy>& policy) {
  const auto& domains =
      policy ? policy->configuration.domains : TamrinConfiguration::standard().domains;
  const auto writeHosts = [&] {
    try {
      if (hosts_.setBlocked(shouldBlock, domains)) {
        try {
          flushDNS_();
        } catch (const std::exception&) {
        }
      }
    } catch (const std::exception&) {
    }
  };
  // The rules go in before the hosts block and come out after it, so that a pass cut short
  // never leaves the hosts block standing without them.
  if (!shouldBlock) writeHosts();
  reconcilePacketFilter(shouldBlock, policy);
  if (shouldBlock) writeHosts();
  if (layers_) {
    layerReport_ = layers_->reconcile(
        {.enabled = policy.has_value(), .blocking = shouldBlock, .domains = domains});
  }
  // Changes a watcher cannot see wait for the timer: a problem during a block, tried again
  // at every pass.
  layerReport_.problems.erase(ProtectionWatcher::kLayerName);
  for (const auto& watcher : watchers_) {
    watcher->retry();
    const auto problem = watcher->problem();
    if (problem && shouldBlock) layerReport_.problems[ProtectionWatcher::kLayerName] = *problem;
  }
}

void DaemonService::reconcilePacketFilter(bool shouldBlock,
                                          const std::optional<TamrinPolicy>& policy) {
  packetFilterJustConfirmed_ = false;
  try {
    if (shouldBlock && policy && !orEmpty(policy->resolvedAddresses).empty()) {
      const auto& addresses = *policy->resolvedAddresses;
      // Read before looking: a change while the tool runs makes the next pass look again.
      const std::uint64_t changes = filterChanges_;
      if (filterWatched_ && confirmedFilter_ && confirmedFilter_->changes == changes &&
          confirmedFilter_->addresses == addresses) {
        packetFilterJustConfirmed_ = true;  // nothing touched the filter since it was in place
      } else {
        confirmedFilter_.reset();
        packetFilterJustConfirmed_ = packetFilter_.enable(addresses);
        if (packetFilterJustConfirmed_) confirmedFilter_ = ConfirmedFilter{changes, addresses};
      }
    } else {
      confirmedFilter_.reset();
      packetFilter_.disable();
    }
  } catch (const std::exception&) {
  }
}

void DaemonService::refreshProtectionState(const std::optional<TamrinPolicy>& policy,
                                           bool enforcing) {
  enforcing = enforcing && policy.has_value();
  try {
    managedHostsBlockPresent_ = hosts_.containsManagedBlock(
        enforcing ? std::optional(policy->configuration.domains) : std::nullopt);
  } catch (const std::exception&) {
    managedHostsBlockPresent_ = !enforcing;
  }
  const bool confirmed = std::exchange(packetFilterJustConfirmed_, false);
  if (enforcing && confirmed) {
    managedPacketFilterBlockPresent_ = true;  // checked this pass, or untouched since a check
    return;
  }
  try {
    managedPacketFilterBlockPresent_ = packetFilter_.containsManagedBlock(
        enforcing ? std::optional(orEmpty(policy->resolvedAddresses)) : std::nullopt);
  } catch (const std::exception&) {
    managedPacketFilterBlockPresent_ = !enforcing;
  }
}

Instant DaemonService::nextReconciliationDate(const std::optional<TamrinPolicy>& policy,
                                              Instant after, const Calendar& calendar) {
  const Instant fallback = after + kLongestWait;
  const Instant candidate =
      policy ? policy->nextEnforcementTransition(after, calendar) : Instant::distantFuture();
  return candidate < fallback ? candidate : fallback;
}

std::optional<BootReading> DaemonService::readBootClock() const {
  if (!clock_.boot || !startBootId_) return std::nullopt;
  try {
    const BootObservation observation = observeBoot(*clock_.boot, *startBootId_);
    if (observation.idChanged) bootIdChanged_ = true;
    return observation.reading;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<Instant> DaemonService::heldBeyondSchedule(const TamrinPolicy& policy, Instant now,
                                                         const Calendar& calendar) const {
  const auto boot = readBootClock();
  if (!boot) return std::nullopt;
  const auto remaining = remainingHold(policy.bootAnchor, *boot, now);
  if (!remaining) return std::nullopt;
  const Instant until = now + *remaining;
  if (policy.shouldEnforce(now, calendar) &&
      until <= policy.nextScheduledAccessStart(now, calendar) + kHoldJitter) {
    return std::nullopt;
  }
  return until;
}

void DaemonService::scheduleNextReconciliationLocked(Instant after) {
  const Calendar calendar = clock_.calendar();
  Instant next = nextReconciliationDate(policy_, after, calendar);
  // A held block ends when its hold does, which no schedule transition marks.
  std::optional<Instant> held =
      policy_ ? heldBeyondSchedule(*policy_, after, calendar) : std::nullopt;
  if (const auto recorded = recordHoldEndLocked(after))
    held = std::min(held.value_or(*recorded), *recorded);
  if (held) next = std::min(next, *held);
  // A pass that enforced only for a hold which has ended since: the next pass ends it at once.
  if (std::exchange(passHeldOnly_, false) && !held) next = std::min(next, after);
  nextPassAt_ = next;
  armTimerLocked(after);
}

void DaemonService::armTimerLocked(Instant after) {
  Instant next = nextPassAt_.value_or(nextReconciliationDate(policy_, after, clock_.calendar()));
  if (const auto refresh = addressRefreshWakeLocked(after); refresh && *refresh < next) {
    next = *refresh;
  }
  if (!started_) return;
  const double wait = std::max(next - after, kShortestWait);
  timer_->arm(std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      timerClock_.wall() + std::chrono::duration<double>(wait)));
}

}  // namespace tamrin
