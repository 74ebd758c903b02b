#include "daemon/service/daemon_service.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "core/blocked_hostnames.h"
#include "core/configuration.h"
#include "core/configuration_limits.h"
#include "core/daemon_status.h"
#include "core/first_failure.h"
#include "core/tamrin_error.h"
#include "core/week_coverage.h"
#include "daemon/resolve/system_lookup.h"
#include "daemon/service/pass_timing.h"

namespace tamrin {
namespace {

// A pass this close to a block start is the last one before it (passes are at most this far
// apart).
constexpr double kLastPassWindow = kLongestWait;

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
// function when it goes out of scope, after the guard has released the lock. Without set() it
// replies nothing.
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

// The configuration a request carries, checked as every configuration is before it is used.
TamrinConfiguration checkedConfiguration(const Data& argument) {
  TamrinConfiguration configuration = decodeConfiguration(argument);
  requireReportableSize(configuration);
  requireScheduleThatEnds(configuration);
  if (!configuration.isValid()) throw TamrinError(TamrinError::Kind::invalidConfiguration);
  return configuration;
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
  for (const auto& watcher : service->watchers_) {
    service->filterWatch_.started();
    watcher->start([weak](ProtectionWatcher::Change change) {
      auto service = weak.lock();
      if (!service) return;
      if (change == ProtectionWatcher::Change::packetFilter) service->filterWatch_.changed();
      if (change == ProtectionWatcher::Change::stopped) service->filterWatch_.stopped();
      service->requestReconciliation();
    });
  }
  return service;
}

DaemonService::DaemonService(Passkey, DaemonEnvironment& environment)
    : hosts_(environment.hosts),
      resolveDomains_(std::move(environment.resolveDomains)),
      clock_(std::move(environment.clock)),
      resolveDirect_(std::move(environment.resolveDirect)),
      startBootId_(readStartBootId(clock_)),
      timerClock_(std::move(environment.timerClock)),
      afterTimerPass_(std::move(environment.afterTimerPass)),
      managed_(std::move(environment.managedConfiguration)),
      store_(std::move(environment.policyPath)),
      enforcement_(std::move(environment.hosts), std::move(environment.packetFilter),
                   std::move(environment.flushDNS), filterWatch_),
      records_(std::move(environment.blockRecords)) {
  enforcement_.attachLayers(std::move(environment.layers));
  enforcement_.attachWireNames(std::move(environment.wireNames));
}

void DaemonService::start() {
  MutexLock guard(lock_);
  started_ = true;
  const Instant now = clock_.now();
  reconcileLocked(now);
  applyManagedConfigurationLocked(now);
  scheduleNextReconciliationLocked(now);
  store_.save();  // the lookups wait for the first timer pass
}

// A pass decides under the lock what the policy learns and what every layer must hold, then
// looks up and refreshes addresses without it (merging what they learn under it again), and
// writes the policy once at the end: a crash before that write loses only what the next pass
// decides again (a due staged change, addresses), while the record of a running block, kept
// under the first lock, holds it meanwhile.
void DaemonService::runReconciliationPass(Instant at) {
  std::optional<RefreshPlan> refresh;
  {
    MutexLock guard(lock_);
    // A wake only for a refresh leaves the pass, and its deadline, as they were.
    bool refreshOnly = isRefreshOnlyWakeLocked(at);
    if (!refreshOnly) reconcileLocked(at);
    if (applyManagedConfigurationLocked(at)) refreshOnly = false;
    refresh = planAddressRefreshLocked(at);
    if (refreshOnly) {
      armTimerLocked(at);
    } else {
      scheduleNextReconciliationLocked(at);
    }
    // The timer's thread runs the lookups.
    if (leavesLookupsToNextPass(at, nextPassAt_)) systemLookupWanted_.reset();
  }
  lookUpWantedSystemAddresses();
  if (refresh) refreshAddresses(*refresh);
  savePolicy();
}

void DaemonService::savePolicy() {
  MutexLock guard(lock_);
  store_.save();
}

void DaemonService::requestReconciliation() {
  if (started_) timer_->request();
}

std::optional<TamrinPolicy> DaemonService::TEST_policy() const {
  MutexLock guard(lock_);
  return store_.policy();
}

bool DaemonService::TEST_policyNeedsSave() const {
  MutexLock guard(lock_);
  return store_.needsSave();
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

void DaemonService::handle(After after, const Reply& reply,
                           const std::function<std::optional<Data>(Instant now)>& body) {
  {
    ReplyAfterUnlock answer(reply);
    MutexLock guard(lock_);
    const Instant now = clock_.now();
    Outcome outcome;
    try {
      outcome.data = body(now);
    } catch (...) {
      outcome = failure();
    }
    answer.set(std::move(outcome));
    if (after == After::nothing) return;
    scheduleNextReconciliationLocked(now);
  }
  lookUpWantedSystemAddresses();  // after the reply
  savePolicy();
}

void DaemonService::getStatus(Reply reply) {
  handle(After::nothing, reply,
         [this](Instant now) REQUIRES(lock_) { return std::optional<Data>(statusLocked(now)); });
}

void DaemonService::enableBlocking(const Data& argument, Reply reply) {
  handle(After::configuration, reply, [&](Instant now) REQUIRES(lock_) {
    enableBlockingLocked(argument, now);
    return std::optional<Data>();
  });
}

void DaemonService::updateConfiguration(const Data& argument, Reply reply) {
  handle(After::configuration, reply, [&](Instant now) REQUIRES(lock_) {
    updateConfigurationLocked(argument, now);
    return std::optional<Data>();
  });
}

void DaemonService::prepareForRemoval(Reply reply) {
  handle(After::nothing, reply, [this](Instant now) REQUIRES(lock_) {
    prepareForRemovalLocked(now);
    return std::optional<Data>();
  });
}

Data DaemonService::statusLocked(Instant now) {
  const std::optional<Instant> recordEnd = recordHoldEndLocked(now);
  if (store_.loadFailed() && !recordEnd) throw TamrinError(TamrinError::Kind::policyUnavailable);
  const std::optional<TamrinPolicy>& policy = store_.policy();
  std::optional<bool> blocked;
  std::optional<Instant> heldUntil;
  if (policy) {
    const Calendar calendar = clock_.calendar();
    heldUntil = heldBeyondSchedule(*policy, now, calendar);
    blocked = policy->shouldEnforce(now, calendar) || heldUntil.has_value();
    if (recordEnd) {  // the recorded block, when it outlasts the policy's own
      const Instant ownEnd =
          heldUntil ? *heldUntil
                    : (*blocked ? policy->nextScheduledAccessStart(now, calendar) : now);
      if (ownEnd < *recordEnd) heldUntil = recordEnd;
    }
  }
  if (recordEnd) blocked = true;
  return encodeReportableStatus(DaemonStatus{
      .blocked = blocked,
      .managedHostsBlockPresent = inPlace_.managedBlocks.hosts,
      .managedPacketFilterBlockPresent = inPlace_.managedBlocks.packetFilter,
      .policy = policy,
      .blockHeldUntil = heldUntil,
      .layersInForce = inPlace_.layers.inForce,
      .layerProblems = statusProblemsLocked(),
      .wireNames = wireNamesCountsLocked(),
  });
}

std::optional<WireNamesCounts> DaemonService::wireNamesCountsLocked() const {
  const auto counts = enforcement_.wireNamesCounts();
  const auto& inForce = inPlace_.layers.inForce;
  if (!counts || std::find(inForce.begin(), inForce.end(), WireNamesLayer::kName) == inForce.end()) {
    return std::nullopt;
  }
  return WireNamesCounts{.flowsRefused = counts->refusedFlows,
                         .inspectionsLost = counts->lostInspections};
}

std::map<std::string, std::string> DaemonService::statusProblemsLocked() const {
  auto problems = inPlace_.layers.problems;
  if (recordHold_) problems["blockingState"] = recordHold_->reason;
  if (managedProblem_) problems["managedConfiguration"] = *managedProblem_;
  if (bootIdChanged_) {
    problems["bootClock"] =
        "The boot id changed while the daemon ran; blocks are held by the one it started with.";
  }
  return problems;
}

void DaemonService::refuseWhileManagedLocked() const {
  if (managed_ && managedConfigurationPresent(*managed_)) {
    throw std::runtime_error(managedConfigurationRefusal(*managed_));
  }
}

void DaemonService::enableBlockingLocked(const Data& argument, Instant now) {
  refuseWhileManagedLocked();
  // A stored state that could not be used is replaced by a valid first configuration.
  if (store_.policy()) throw TamrinError(TamrinError::Kind::policyAlreadyActive);
  enableConfigurationLocked(checkedConfiguration(argument), now);
}

void DaemonService::enableConfigurationLocked(const TamrinConfiguration& configuration,
                                              Instant now) {
  store_.persist(TamrinPolicy(configuration));  // replaces a stored state that was unusable
  reconcileLocked(now);
}

void DaemonService::updateConfigurationLocked(const Data& argument, Instant now) {
  refuseWhileManagedLocked();
  if (store_.loadFailed()) throw TamrinError(TamrinError::Kind::policyUnavailable);
  // A staged change that became due is applied before another is staged on it (and saved
  // with it).
  reconcileLocked(now);
  if (!store_.policy()) throw TamrinError(TamrinError::Kind::noPolicy);
  stageConfigurationLocked(checkedConfiguration(argument), now);
}

void DaemonService::stageConfigurationLocked(const TamrinConfiguration& configuration,
                                             Instant now) {
  const TamrinPolicy& policy = store_.policy().value();
  std::optional<std::vector<std::string>> carried;
  if (!configuration.blocks && !policy.usesNamedBlocks() &&
      configuration.domains == policy.configuration.domains) {
    carried = policy.resolvedAddresses;
  }
  TamrinPolicy staged = policy;
  const Calendar calendar = clock_.calendar();
  // A block held past its schedule runs until the hold ends: the change waits for that.
  staged.stageConfiguration(configuration, now, std::move(carried), calendar,
                            heldBeyondSchedule(staged, now, calendar));
  store_.persist(staged);
  reconcileLocked(now);
}

bool DaemonService::applyManagedConfigurationLocked(Instant at) {
  if (!managed_) return false;
  const ManagedConfigurationReading reading = readManagedConfiguration(*managed_);
  managedProblem_ = reading.problem;
  if (!reading.configuration) return false;  // none, or the last good one stays
  const TamrinConfiguration& wanted = *reading.configuration;
  try {
    const std::optional<TamrinPolicy>& policy = store_.policy();
    if (!policy) {  // none yet, or a stored state that could not be used
      enableConfigurationLocked(wanted, at);
      return true;
    }
    const TamrinConfiguration& latest =
        policy->pendingConfiguration ? *policy->pendingConfiguration : policy->configuration;
    if (latest == wanted) return false;
    stageConfigurationLocked(wanted, at);
    return true;
  } catch (const std::exception& error) {
    managedProblem_ =
        managed_->path.string() + " could not be applied: " + std::string(error.what());
    return false;
  }
}

void DaemonService::prepareForRemovalLocked(Instant now) {
  if (recordHoldEndLocked(now)) throw TamrinError(TamrinError::Kind::focusRemovalLocked);
  // Without a usable state, protection found in force (or not measurable) is taken for a
  // running block; once none is, the unusable state goes with the rest.
  if (store_.loadFailed() && enforcement_.mayBeInForce()) {
    throw TamrinError(TamrinError::Kind::focusRemovalLocked);
  }
  if (const std::optional<TamrinPolicy>& policy = store_.policy()) {
    const Calendar calendar = clock_.calendar();
    policy->validateRemoval(now, calendar);
    if (heldBeyondSchedule(*policy, now, calendar)) {
      throw TamrinError(TamrinError::Kind::focusRemovalLocked);
    }
  }
  removeSystemProtection();
  store_.remove();
  inPlace_ = {};
}

void DaemonService::removeSystemProtection() {
  FirstFailure failures;
  failures.attempt([enforcement = &enforcement_] { enforcement->removeAll(); });
  if (auto* records = records_.get()) failures.attempt([records] { records->clear(); });
  failures.rethrow();
}

// Reconciliation.

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

// The steps of a pass, in this order:
//  1. A recorded block that the policy as loaded does not keep is enforced alone, to its end.
//  2. An unusable stored state touches nothing: it may hide a running block.
//  3. A due staged change applies first, since it may govern the block of this very instant;
//     while a hold keeps the block, its configuration stays and the change waits.
//  4. The hold then follows the schedule of the policy that governs now, and with the
//     schedule decides whether to block.
//  5. A block without addresses takes those of the hosts file's own lines, so that its rules
//     go in with it; lookups would wait on servers, and read the block once it stands.
//  6. Every layer is brought in line and measured; the lookups are planned only after that,
//     against the hosts file as the pass left it.
//  7. The block record, which outlives a restart of the daemon, is kept last, with the hold
//     as this pass left it.
// What the policy learned is kept here and written once, at the end of the pass.
void DaemonService::reconcileLocked(Instant at) {
  systemLookupWanted_.reset();
  if (recordHoldEndLocked(at)) {
    reconcileRecordHoldLocked(at);
    return;
  }
  if (store_.loadFailed()) return;
  if (!store_.policy()) {
    enforceLocked(std::nullopt, false, at);
    keepBlockRecordLocked(std::nullopt, false, at, false);
    return;
  }
  const Calendar calendar = clock_.calendar();
  TamrinPolicy working = *store_.policy();
  bool learned = false;
  const std::optional<BootReading> boot = readBootClock();
  const bool held = boot && holdsConfiguration(working.blockHold, *boot, at);
  if (!held && working.applyPendingConfigurationIfNeeded(at)) learned = true;

  const bool scheduled = working.shouldEnforce(at, calendar);
  if (boot) {
    auto hold = updatedHold(
        working.blockHold, *boot, at,
        scheduled ? std::optional(working.nextScheduledAccessStart(at, calendar)) : std::nullopt);
    if (hold != working.blockHold) {
      working.blockHold = std::move(hold);
      learned = true;
    }
  }
  const bool shouldBlock = scheduled || (boot && remainingHold(working.blockHold, *boot, at));
  passHeldOnly_ = shouldBlock && !scheduled;
  const bool everyBlock = shouldBlock && !scheduled;
  if (shouldBlock && working.usesNamedBlocks()) {
    if (takeHostsFileAddresses(working, at, calendar, everyBlock)) learned = true;
  } else if (shouldBlock && orEmpty(working.resolvedAddresses).empty()) {
    if (auto addresses = hostsFileSiteAddresses(working.configuration.domains)) {
      working.resolvedAddresses = std::move(addresses);
      learned = true;
    }
  }
  if (learned) store_.keep(working);
  enforceLocked(working, shouldBlock, at, everyBlock);
  // Missing addresses are looked up once the lock is released (lookUpWantedSystemAddresses),
  // and only while the hosts file holds no managed block, so that the answers are the sites'
  // own; a starting block's hosts entries never wait for them.
  if (mayResolve()) systemLookupWanted_ = planSystemLookup(working, shouldBlock, at, calendar);
  keepBlockRecordLocked(working, shouldBlock, at, everyBlock);
}

EnforcementDemand DaemonService::demandFor(const std::optional<TamrinPolicy>& policy,
                                           bool blocking, Instant at, bool everyBlock) const {
  if (!policy) {
    return {.enabled = false,
            .blocking = blocking,
            .domains = TamrinConfiguration::standard().domains,
            .addresses = {}};
  }
  EnforcedSites sites = policy->enforcedSites(at, clock_.calendar(), everyBlock);
  // Outside blocks the layers still clear the entries of every site the policy names.
  if (!blocking && policy->usesNamedBlocks()) sites.domains = policy->domainsThatMayGovern();
  return {.enabled = true,
          .blocking = blocking,
          .domains = std::move(sites.domains),
          .addresses = std::move(sites.addresses)};
}

void DaemonService::enforceLocked(const std::optional<TamrinPolicy>& policy, bool blocking,
                                  Instant at, bool everyBlock) {
  EnforcementDemand demand = demandFor(policy, blocking, at, everyBlock);
  demand.watcherProblems = [this] { return watcherProblems(); };
  inPlace_ = enforcement_.enforce(demand);
}

std::map<std::string, std::string> DaemonService::watcherProblems() {
  std::map<std::string, std::string> problems;
  for (const auto& watcher : watchers_) {
    watcher->retry();
    if (const auto problem = watcher->problem()) problems[ProtectionWatcher::kLayerName] = *problem;
  }
  return problems;
}

bool DaemonService::policyBlocksLocked(Instant now) {
  const std::optional<TamrinPolicy>& policy = store_.policy();
  if (!policy) return false;
  const Calendar calendar = clock_.calendar();
  return policy->shouldEnforce(now, calendar) || heldBeyondSchedule(*policy, now, calendar);
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
  return tamrin::heldBeyondSchedule(policy, *boot, now, calendar);
}

// Timing.

void DaemonService::scheduleNextReconciliationLocked(Instant after) {
  const Calendar calendar = clock_.calendar();
  const std::optional<TamrinPolicy>& policy = store_.policy();
  const Instant scheduled = nextReconciliationDate(policy, after, calendar);
  std::optional<Instant> held =
      policy ? heldBeyondSchedule(*policy, after, calendar) : std::nullopt;
  if (const auto recorded = recordHoldEndLocked(after)) {
    held = std::min(held.value_or(*recorded), *recorded);
  }
  nextPassAt_ = nextPassDate(scheduled, held, std::exchange(passHeldOnly_, false), after);
  armTimerLocked(after);
}

void DaemonService::armTimerLocked(Instant after) {
  const Instant next =
      nextPassAt_.value_or(nextReconciliationDate(store_.policy(), after, clock_.calendar()));
  const std::optional<Instant> refresh = addressRefreshWakeLocked(after);
  if (!started_) return;
  const double wait = timerWait(after, next, refresh);
  timer_->arm(std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      timerClock_.wall() + std::chrono::duration<double>(wait)));
}

bool DaemonService::isRefreshOnlyWakeLocked(Instant at) {
  // The refresh's wake reads the calendar: asked for only while no pass is due anyway.
  if (!resolveDirect_ || !nextPassAt_ || !(at < *nextPassAt_)) return false;
  return isRefreshOnlyWake(at, nextPassAt_, addressRefreshWakeLocked(at));
}

std::optional<Instant> DaemonService::addressRefreshWakeLocked(Instant after) {
  const std::optional<TamrinPolicy>& policy = store_.policy();
  const bool blocking = resolveDirect_ && policy && policy->shouldEnforce(after, clock_.calendar());
  return addressRefreshWake(blocking, nextAddressRefresh_, after);
}

// Address refresh: planned inside a pass, resolved with the lock released, merged and
// enforced with it held again.

std::optional<RefreshPlan> DaemonService::planAddressRefreshLocked(Instant at) {
  const std::optional<TamrinPolicy>& policy = store_.policy();
  if (!resolveDirect_ || store_.loadFailed() || !policy) return std::nullopt;
  auto plan =
      planAddressRefresh(*policy, at, clock_.calendar(), nextAddressRefresh_, kLastPassWindow);
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
  if (store_.loadFailed() || !store_.policy()) return;
  const Instant now = clock_.now();
  // Answers of the system resolver count only if no block reached the hosts file meanwhile.
  if (system && !mayResolve()) system.reset();
  nextAddressRefresh_ = now + refreshInterval(direct);
  auto updated = policyAfterRefresh(*store_.policy(), plan, system, direct, now, clock_.calendar());
  if (updated) {
    const std::vector<std::string> before =
        store_.policy()->enforcedSites(now, clock_.calendar()).addresses;
    store_.keep(std::move(*updated));
    if (plan.kind == RefreshPlan::Kind::grow) {
      const bool blocking = policyBlocksLocked(now);
      inPlace_.managedBlocks =
          enforcement_.extendFilter(demandFor(store_.policy(), blocking, now), before);
    }
  }
  armTimerLocked(now);
}

}  // namespace tamrin
