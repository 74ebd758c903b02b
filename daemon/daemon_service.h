#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "core/daemon_protocol.h"
#include "core/hosts_file.h"
#include "core/instant.h"
#include "core/policy.h"
#include "daemon/address_refresh.h"
#include "daemon/boot_anchor.h"
#include "daemon/mutex.h"
#include "daemon/packet_filter.h"
#include "daemon/protection_layers.h"
#include "daemon/protection_watcher.h"
#include "daemon/reconciliation_timer.h"

namespace tamrin {

// Where the service reads the time and the local calendar; the daemon reads the system's.
// With a boot clock, a running block is held on it (see boot_anchor.h) until its real length
// has passed, whatever the wall clock or the zone says meanwhile; without one, nothing is held.
struct ServiceClock {
  std::function<Instant()> now;
  std::function<Calendar()> calendar;
  std::optional<BootClock> boot = std::nullopt;

  static ServiceClock system();
};

// The daemon's one stateful object: the policy in force and its file, the two enforcement
// mechanisms, the last observation of both, and the reconciliation timer. One mutex is held
// for the whole of every request and every reconciliation pass; a request's reply is built
// under it and handed to the reply function after it is released.
class DaemonService final : public TamrinDaemonProtocol,
                            public std::enable_shared_from_this<DaemonService> {
 public:
  using ResolveDomains = std::function<std::vector<std::string>(const std::vector<std::string>&)>;
  using FlushDNS = std::function<void()>;

  // Loads the policy file: a missing file is no policy; an unreadable, undecodable or invalid
  // one makes every request fail with policyUnavailable for the life of the service. Touches
  // neither the hosts file nor the packet filter and starts no timer.
  static std::shared_ptr<DaemonService> create(std::filesystem::path policyURL, HostsFile hosts,
                                               PacketFilter packetFilter,
                                               ResolveDomains resolveDomains, FlushDNS flushDNS,
                                               ServiceClock clock = ServiceClock::system(),
                                               ResolveDirect resolveDirect = nullptr);

  // Creates the timer and runs the first reconciliation pass, which arms it.
  void start() EXCLUDES(lock_);
  // Calls `alive` on the timer's thread after every pass it runs (at least one a minute), so
  // a daemon that is stopped or stuck in a pass stops calling it. Call before start().
  void notifyAfterEachTimerPass(std::function<void()> alive) { afterTimerPass_ = std::move(alive); }
  // Adds the further protection layers that every pass reconciles and the status reports.
  void attachLayers(std::shared_ptr<const ProtectionLayers> layers) EXCLUDES(lock_);

  void getStatus(Reply reply) override EXCLUDES(lock_);
  void enableBlocking(const Data& configuration, Reply reply) override EXCLUDES(lock_);
  void updateConfiguration(const Data& configuration, Reply reply) override EXCLUDES(lock_);
  void prepareForRemoval(Reply reply) override EXCLUDES(lock_);

  // Asks for one pass at the current instant within about 100 ms; a burst of requests makes
  // one pass, and passes asked for this way keep a gap between them. Thread-safe, does not
  // wait for a running pass. Does nothing before start().
  void requestReconciliation() EXCLUDES(requestLock_);
  // Requests a pass for every change `watcher` reports; the service keeps the watcher. While
  // it reports, a pass skips the packet-filter tool when no change of the filter was reported
  // since a pass found it exactly in place for the same addresses.
  void watch(std::unique_ptr<ProtectionWatcher> watcher) EXCLUDES(requestLock_);

  // One pass: reconcile at `at`, then re-arm the timer from `at`. With a direct resolver, then
  // refreshes the addresses when due (resolving without the lock; see refreshAddresses).
  void runReconciliationPass(Instant at) EXCLUDES(lock_);

  // Applies a due staged change, brings the hosts file and the packet filter in line with the
  // schedule, resolves addresses while the hosts file is clean, saves what the policy learned
  // and measures what is in place. Absorbs every error.
  void reconcileLocked(Instant at) REQUIRES(lock_);
  // Re-arms the timer for the next enforcement transition, at most 60 s after `after`.
  void scheduleNextReconciliationLocked(Instant after) REQUIRES(lock_);
  // The earlier of the policy's next enforcement transition and `after` + 60 s.
  static Instant nextReconciliationDate(const std::optional<TamrinPolicy>& policy, Instant after,
                                        const Calendar& calendar);

  // Writes `policy` atomically (directory 0700 when created, file 0600) and makes it the
  // policy in force. Throws the file system's error, leaving the state unchanged.
  void persist(const TamrinPolicy& policy) REQUIRES(lock_);
  // Removes the hosts block and the packet-filter rules and flushes the DNS cache; all three
  // always run, and the first failure is thrown.
  void removeSystemProtection() REQUIRES(lock_);

  Mutex& lock() RETURN_CAPABILITY(lock_) { return lock_; }
  std::optional<TamrinPolicy> policyLocked() const REQUIRES(lock_) { return policy_; }
  bool policyNeedsSaveLocked() const REQUIRES(lock_) { return policyNeedsSave_; }
  // The wall-clock deadline of the timer, absent before start() or while a pass runs.
  std::optional<ReconciliationTimer::Deadline> timerDeadline() const EXCLUDES(lock_);

  DaemonService(std::filesystem::path policyURL, HostsFile hosts, PacketFilter packetFilter,
                ResolveDomains resolveDomains, FlushDNS flushDNS, ServiceClock clock,
                ResolveDirect resolveDirect = nullptr);

 private:
  void loadPolicy();
  // The bodies of the four requests; each throws the error its reply reports.
  Data statusLocked() REQUIRES(lock_);
  void enableBlockingLocked(const Data& argument, Instant now) REQUIRES(lock_);
  void updateConfigurationLocked(const Data& argument, Instant now) REQUIRES(lock_);
  void prepareForRemovalLocked() REQUIRES(lock_);
  void saveOrKeepLocked(const TamrinPolicy& policy) REQUIRES(lock_);
  void reconcileProtection(bool shouldBlock, const std::optional<TamrinPolicy>& policy)
      REQUIRES(lock_);
  void refreshProtectionState(const std::optional<TamrinPolicy>& policy, bool enforcing)
      REQUIRES(lock_);
  // The boot clock's reading; absent without a boot clock or when it cannot be read.
  std::optional<BootReading> readBootClock() const;
  // When the policy's boot anchor holds a block past what the schedule demands at `now`: the
  // wall instant at which the hold ends. Absent while the schedule's own block lasts as long.
  std::optional<Instant> heldBeyondSchedule(const TamrinPolicy& policy, Instant now,
                                            const Calendar& calendar) const;
  // Resolves `domains` without our own sinks 0.0.0.0 and ::; absent when resolution fails or
  // answers only sinks.
  std::optional<std::vector<std::string>> tryResolve(const std::vector<std::string>& domains)
      REQUIRES(lock_);
  // Whether names may be resolved now: the hosts file is not known to hold a managed block,
  // and is no device, FIFO or socket that the system resolver would read.
  bool mayResolve() REQUIRES(lock_);

  // Address refresh (daemon/address_refresh_pass.cc). What the pass at `at` should resolve
  // directly; nothing without a direct resolver.
  std::optional<RefreshPlan> planAddressRefreshLocked(Instant at) REQUIRES(lock_);
  // Resolves without the lock (at most the direct resolver's limit plus the system
  // resolver's time), then takes it to merge, save, add to the filter and re-arm the timer.
  void refreshAddresses(const RefreshPlan& plan) EXCLUDES(lock_);
  // Whether the timer woke `at` only for a due refresh, before the next pass is due.
  bool isRefreshOnlyWakeLocked(Instant at) REQUIRES(lock_);
  // Arms the timer for the earlier of the next pass and the next refresh.
  void armTimerLocked(Instant after) REQUIRES(lock_);
  // When the timer must wake for the next refresh during a block (at once when none ran yet);
  // absent outside a block.
  std::optional<Instant> addressRefreshWakeLocked(Instant after) REQUIRES(lock_);

  mutable Mutex lock_;

  // Constant after construction.
  const std::filesystem::path policyURL_;
  const HostsFile hosts_;
  const PacketFilter packetFilter_;
  const ResolveDomains resolveDomains_;
  const FlushDNS flushDNS_;
  const ServiceClock clock_;
  const ResolveDirect resolveDirect_;  // may be empty: no refresh of addresses
  // Set before start(), then only read.
  std::function<void()> afterTimerPass_;

  std::optional<TamrinPolicy> policy_ GUARDED_BY(lock_);
  bool policyLoadFailed_ GUARDED_BY(lock_) = false;
  bool policyNeedsSave_ GUARDED_BY(lock_) = false;
  bool managedHostsBlockPresent_ GUARDED_BY(lock_) = false;
  bool managedPacketFilterBlockPresent_ GUARDED_BY(lock_) = false;
  std::unique_ptr<ReconciliationTimer> timer_ GUARDED_BY(lock_);
  std::optional<Instant> nextAddressRefresh_ GUARDED_BY(lock_);
  std::optional<Instant> nextPassAt_ GUARDED_BY(lock_);  // as last scheduled

  // Set by a pass whose enabling found the filter exactly in place (or untouched since it was),
  // so that the measurement of the same pass need not list it again; cleared by that
  // measurement.
  bool packetFilterJustConfirmed_ GUARDED_BY(lock_) = false;

  // What the watcher says about the packet filter: how many changes it reported, and whether
  // it still reports them.
  std::atomic<std::uint64_t> filterChanges_{0};
  std::atomic<bool> filterWatched_{false};
  // The filter as a pass last found it exactly in place, with the count of changes then.
  struct ConfirmedFilter {
    std::uint64_t changes;
    std::vector<std::string> addresses;
  };
  std::optional<ConfirmedFilter> confirmedFilter_ GUARDED_BY(lock_);

  // Lets requestReconciliation reach the timer without waiting for a pass.
  mutable Mutex requestLock_;
  ReconciliationTimer* requestTarget_ GUARDED_BY(requestLock_) = nullptr;
  std::vector<std::unique_ptr<ProtectionWatcher>> watchers_ GUARDED_BY(requestLock_);

  std::shared_ptr<const ProtectionLayers> layers_ GUARDED_BY(lock_);
  LayerReport layerReport_ GUARDED_BY(lock_);
};

}  // namespace tamrin
