#include "daemon/daemon_service.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "core/configuration.h"
#include "core/daemon_status.h"
#include "core/file_io.h"
#include "core/tamrin_error.h"

namespace tamrin {
namespace {

constexpr double kLongestWait = 60.0;
constexpr double kShortestWait = 0.1;

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

std::vector<std::string> orEmpty(const std::optional<std::vector<std::string>>& list) {
  return list.value_or(std::vector<std::string>{});
}

}  // namespace

ServiceClock ServiceClock::system() {
  return {.now = [] { return Instant::fromTimePoint(std::chrono::system_clock::now()); },
          .calendar = [] { return Calendar::current(); }};
}

std::shared_ptr<DaemonService> DaemonService::create(std::filesystem::path policyURL,
                                                     HostsFile hosts, PacketFilter packetFilter,
                                                     ResolveDomains resolveDomains,
                                                     FlushDNS flushDNS, ServiceClock clock) {
  return std::make_shared<DaemonService>(std::move(policyURL), std::move(hosts),
                                         std::move(packetFilter), std::move(resolveDomains),
                                         std::move(flushDNS), std::move(clock));
}

DaemonService::DaemonService(std::filesystem::path policyURL, HostsFile hosts,
                             PacketFilter packetFilter, ResolveDomains resolveDomains,
                             FlushDNS flushDNS, ServiceClock clock)
    : policyURL_(std::move(policyURL)),
      hosts_(std::move(hosts)),
      packetFilter_(std::move(packetFilter)),
      resolveDomains_(std::move(resolveDomains)),
      flushDNS_(std::move(flushDNS)),
      clock_(std::move(clock)) {
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
    TamrinPolicy loaded = decodePolicy(readFile(policyURL_));
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
  std::weak_ptr<DaemonService> weak = weak_from_this();
  timer_ = std::make_unique<ReconciliationTimer>([weak] {
    if (auto service = weak.lock()) service->runReconciliationPass(service->clock_.now());
  });
  const Instant now = clock_.now();
  reconcileLocked(now);
  scheduleNextReconciliationLocked(now);
}

void DaemonService::attachLayers(std::shared_ptr<const ProtectionLayers> layers) {
  MutexLock guard(lock_);
  layers_ = std::move(layers);
}

void DaemonService::runReconciliationPass(Instant at) {
  MutexLock guard(lock_);
  reconcileLocked(at);
  scheduleNextReconciliationLocked(at);
}

std::optional<ReconciliationTimer::Deadline> DaemonService::timerDeadline() const {
  MutexLock guard(lock_);
  if (!timer_) return std::nullopt;
  return timer_->deadline();
}

// Requests.

void DaemonService::getStatus(Reply reply) {
  MutexLock guard(lock_);
  Outcome outcome;
  try {
    outcome.data = statusLocked();
  } catch (...) {
    outcome = failure();
  }
  reply(outcome.data, outcome.text);
}

void DaemonService::enableBlocking(const Data& argument, Reply reply) {
  MutexLock guard(lock_);
  const Instant now = clock_.now();
  Outcome outcome;
  try {
    enableBlockingLocked(argument, now);
  } catch (...) {
    outcome = failure();
  }
  reply(outcome.data, outcome.text);
  scheduleNextReconciliationLocked(now);
}

void DaemonService::updateConfiguration(const Data& argument, Reply reply) {
  MutexLock guard(lock_);
  const Instant now = clock_.now();
  Outcome outcome;
  try {
    updateConfigurationLocked(argument, now);
  } catch (...) {
    outcome = failure();
  }
  reply(outcome.data, outcome.text);
  scheduleNextReconciliationLocked(now);
}

void DaemonService::prepareForRemoval(Reply reply) {
  MutexLock guard(lock_);
  Outcome outcome;
  try {
    prepareForRemovalLocked();
  } catch (...) {
    outcome = failure();
  }
  reply(outcome.data, outcome.text);
}

Data DaemonService::statusLocked() {
  if (policyLoadFailed_) throw TamrinError(TamrinError::Kind::policyUnavailable);
  const Instant now = clock_.now();
  std::optional<bool> blocked;
  if (policy_) blocked = policy_->shouldEnforce(now, clock_.calendar());
  return encodeDaemonStatus(DaemonStatus{
      .blocked = blocked,
      .managedHostsBlockPresent = managedHostsBlockPresent_,
      .managedPacketFilterBlockPresent = managedPacketFilterBlockPresent_,
      .policy = policy_,
      .layersInForce = layerReport_.inForce,
      .layerProblems = layerReport_.problems,
  });
}

void DaemonService::enableBlockingLocked(const Data& argument, Instant now) {
  if (policyLoadFailed_) throw TamrinError(TamrinError::Kind::policyUnavailable);
  if (policy_) throw TamrinError(TamrinError::Kind::policyAlreadyActive);
  const TamrinConfiguration configuration = decodeConfiguration(argument);
  if (!configuration.isValid()) throw TamrinError(TamrinError::Kind::invalidConfiguration);
  persist(TamrinPolicy(configuration));
  reconcileLocked(now);
}

void DaemonService::updateConfigurationLocked(const Data& argument, Instant now) {
  if (policyLoadFailed_) throw TamrinError(TamrinError::Kind::policyUnavailable);
  // A staged change that became due is applied and saved before another is staged on it.
  reconcileLocked(now);
  if (!policy_) throw TamrinError(TamrinError::Kind::noPolicy);
  const TamrinConfiguration configuration = decodeConfiguration(argument);
  if (!configuration.isValid()) throw TamrinError(TamrinError::Kind::invalidConfiguration);
  std::optional<std::vector<std::string>> carried;
  if (configuration.domains == policy_->configuration.domains) {
    carried = policy_->resolvedAddresses;
  }
  TamrinPolicy staged = *policy_;
  staged.stageConfiguration(configuration, now, std::move(carried), clock_.calendar());
  persist(staged);
  reconcileLocked(now);
}

void DaemonService::prepareForRemovalLocked() {
  if (policyLoadFailed_) throw TamrinError(TamrinError::Kind::policyUnavailable);
  if (policy_) policy_->validateRemoval(clock_.now(), clock_.calendar());
  removeSystemProtection();
  std::filesystem::remove(policyURL_);  // no file is no failure; any other error is
  policy_.reset();
  managedHostsBlockPresent_ = false;
  managedPacketFilterBlockPresent_ = false;
  layerReport_ = {};
}

void DaemonService::removeSystemProtection() {
  std::exception_ptr first;
  const auto attempt = [&](auto&& step) {
    try {
      step();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  };
  attempt([&] { hosts_.setBlocked(false, TamrinConfiguration::standard().domains); });
  attempt([&] { packetFilter_.disable(); });
  attempt([&] { flushDNS_(); });
  attempt([&] {
    if (layers_) layers_->removeAll();
  });
  if (first) std::rethrow_exception(first);
}

void DaemonService::persist(const TamrinPolicy& policy) {
  createPrivateDirectories(policyURL_.parent_path());
  writeFileAtomically(policyURL_, encodePolicy(policy), 0600);
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
    const std::vector<std::string>& domains) {
  try {
    return resolveDomains_(domains);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<bool> DaemonService::hostsHoldAnyBlock() {
  try {
    return hosts_.containsManagedBlock(std::nullopt);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void DaemonService::reconcileLocked(Instant at) {
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
    refreshProtectionState(std::nullopt, at);
    return;
  }
  const Calendar calendar = clock_.calendar();
  TamrinPolicy working = *policy_;
  if (working.applyPendingConfigurationIfNeeded(at)) saveOrKeepLocked(working);

  const bool shouldBlock = working.shouldEnforce(at, calendar);
  // Names are resolved only while the hosts file holds no managed block, so the answers are
  // the sites' real addresses and not our own sinks.
  if (shouldBlock && orEmpty(working.resolvedAddresses).empty() && hostsHoldAnyBlock() == false) {
    if (auto addresses = tryResolve(working.configuration.domains)) {
      working.resolvedAddresses = std::move(addresses);
      saveOrKeepLocked(working);
    }
  }

  reconcileProtection(shouldBlock, working);

  if (!shouldBlock && hostsHoldAnyBlock() != true) {
    if (working.pendingConfiguration) {
      if (working.needsPendingAddressResolution(at, calendar)) {
        if (auto addresses = tryResolve(working.pendingConfiguration->domains)) {
          working.pendingResolvedAddresses = std::move(addresses);
          saveOrKeepLocked(working);
        }
      }
    } else if (orEmpty(working.resolvedAddresses).empty()) {
      if (auto addresses = tryResolve(working.configuration.domains)) {
        working.resolvedAddresses = std::move(addresses);
        saveOrKeepLocked(working);
      }
    }
  }

  refreshProtectionState(working, at);
}

void DaemonService::reconcileProtection(bool shouldBlock,
                                        const std::optional<TamrinPolicy>& policy) {
  const auto& domains =
      policy ? policy->configuration.domains : TamrinConfiguration::standard().domains;
  try {
    if (hosts_.setBlocked(shouldBlock, domains)) {
      try {
        flushDNS_();
      } catch (const std::exception&) {
      }
    }
  } catch (const std::exception&) {
  }
  try {
    if (shouldBlock && policy && !orEmpty(policy->resolvedAddresses).empty()) {
      packetFilter_.enable(*policy->resolvedAddresses);
    } else {
      packetFilter_.disable();
    }
  } catch (const std::exception&) {
  }
  if (layers_) {
    layerReport_ = layers_->reconcile(
        {.enabled = policy.has_value(), .blocking = shouldBlock, .domains = domains});
  }
}

void DaemonService::refreshProtectionState(const std::optional<TamrinPolicy>& policy, Instant at) {
  const bool enforcing = policy && policy->shouldEnforce(at, clock_.calendar());
  try {
    managedHostsBlockPresent_ = hosts_.containsManagedBlock(
        enforcing ? std::optional(policy->configuration.domains) : std::nullopt);
  } catch (const std::exception&) {
    managedHostsBlockPresent_ = !enforcing;
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

void DaemonService::scheduleNextReconciliationLocked(Instant after) {
  const Instant next = nextReconciliationDate(policy_, after, clock_.calendar());
  if (!timer_) return;
  const double wait = std::max(next - after, kShortestWait);
  timer_->arm(std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      std::chrono::system_clock::now() + std::chrono::duration<double>(wait)));
}

}  // namespace tamrin
