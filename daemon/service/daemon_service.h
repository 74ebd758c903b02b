#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "core/daemon_protocol.h"
#include "core/daemon_status.h"
#include "core/hosts_file.h"
#include "core/instant.h"
#include "core/mutex.h"
#include "core/policy.h"
#include "daemon/enforcement/enforcement.h"
#include "daemon/enforcement/packet_filter.h"
#include "daemon/enforcement/protection_layers.h"
#include "daemon/events/protection_watcher.h"
#include "daemon/events/reconciliation_timer.h"
#include "daemon/resolve/address_list.h"
#include "daemon/resolve/system_lookup.h"
#include "daemon/service/block_hold.h"
#include "daemon/service/block_record_store.h"
#include "daemon/service/daemon_environment.h"
#include "daemon/service/policy_store.h"

namespace tamrin {

// The daemon's one stateful object: the policy in force and its file, what enforces it and
// what that last found, and the reconciliation timer. One mutex is held for the whole of
// every request and every reconciliation pass, name lookups excepted (they run after it is
// released and merge under it again); a request's reply is built under it and handed to the
// reply function after it is released.
class DaemonService final : public TamrinDaemonProtocol,
                            public std::enable_shared_from_this<DaemonService> {
 public:
  // Builds the service from `environment`, in this order: loads the policy file (a missing
  // file is no policy; an unreadable, undecodable or invalid one makes every request fail
  // with policyUnavailable until a valid enable-blocking request replaces it, or a removal
  // finds no protection in force and removes it); then, with a block record keeper, reads the
  // record it holds, which is judged against that policy: a block it says runs that the policy
  // as loaded does not keep (missing, unreadable, or changed while the daemon was stopped)
  // stays in force until its end, removal is refused and the status says why; then creates
  // the timer, unarmed; then starts the watchers. Touches neither the hosts file, the packet
  // filter nor the layers, and runs no pass.
  static std::shared_ptr<DaemonService> create(DaemonEnvironment environment);

  // Runs the first reconciliation pass, which applies the managed configuration file (as every
  // pass does) and arms the timer; from now on requests for a pass (a watcher's reports among
  // them) are heard.
  void start() EXCLUDES(lock_);

  void getStatus(Reply reply) override EXCLUDES(lock_);
  void enableBlocking(const Data& configuration, Reply reply) override EXCLUDES(lock_);
  void updateConfiguration(const Data& configuration, Reply reply) override EXCLUDES(lock_);
  void prepareForRemoval(Reply reply) override EXCLUDES(lock_);

  // Asks for one pass at the current instant within about 100 ms; a burst of requests makes
  // one pass, and passes asked for this way keep a gap between them. Thread-safe, does not
  // wait for a running pass. Does nothing before start().
  void requestReconciliation();

  // Extra methods for tests.
  // One pass at `at`, as the timer runs it at the clock's reading.
  void TEST_runPass(Instant at) EXCLUDES(lock_) { runReconciliationPass(at); }
  Mutex& TEST_lock() RETURN_CAPABILITY(lock_) { return lock_; }
  std::optional<TamrinPolicy> TEST_policy() const EXCLUDES(lock_);
  bool TEST_policyNeedsSave() const EXCLUDES(lock_);
  void TEST_persist(const TamrinPolicy& policy) EXCLUDES(lock_);
  // The wall-clock deadline of the timer, absent before start() or while a pass runs.
  std::optional<ReconciliationTimer::Deadline> TEST_timerDeadline() const;
  // Whether the timer neither runs a pass nor has one due at its clocks' reading.
  bool TEST_timerIdle() const;
  // Makes the timer read its clocks again (after a test moved them).
  void TEST_timerClockChanged();

  // Only create() can build one (std::make_shared needs the constructor public).
  class Passkey {
    friend class DaemonService;
    Passkey() = default;
  };
  DaemonService(Passkey, DaemonEnvironment& environment);

 private:
  // One pass: reconcile at `at`, then re-arm the timer from `at`. Then, without the lock, looks
  // up the addresses the pass found missing (lookUpWantedSystemAddresses) and, with a direct
  // resolver, refreshes them when due (refreshAddresses). Writes what the policy learned once,
  // at the end.
  void runReconciliationPass(Instant at) EXCLUDES(lock_);

  // Applies a due staged change, brings every layer in line with the schedule (a block
  // without addresses takes those of the hosts file's own lines first), notes which addresses
  // are missing while the hosts file is clean (looked up by the caller once the lock is
  // released), keeps what the policy learned for the pass's one write (savePolicy) and
  // measures what is in place. Waits on no lookup. Absorbs every error.
  void reconcileLocked(Instant at) REQUIRES(lock_);
  // Re-arms the timer for the next enforcement transition, at most 60 s after `after`.
  void scheduleNextReconciliationLocked(Instant after) REQUIRES(lock_);

  // Writes `policy` and makes it the policy in force (PolicyStore::persist).
  void persist(const TamrinPolicy& policy) REQUIRES(lock_) { store_.persist(policy); }
  // Removes every layer's protection and the block records; all steps always run, and the
  // first failure is thrown.
  void removeSystemProtection() REQUIRES(lock_);

  // With a block record keeper, reads the record it holds and holds the block it records when
  // the policy as loaded does not keep it. Runs once, from create().
  void holdRecordedBlock() EXCLUDES(lock_);
  // What follows a request's body: nothing, or, for a configuration, the timer re-armed
  // whatever the body did, then after the reply the lookups its pass wants and its save.
  enum class After { nothing, configuration };
  // Runs `body` under the lock with the current instant, and hands its data, or the text of
  // what it threw, to `reply` once the lock is released: a client that is slow to take its
  // reply never holds up the others.
  void handle(After after, const Reply& reply,
              const std::function<std::optional<Data>(Instant now)>& body) EXCLUDES(lock_);
  // Writes what the passes since the last write kept in the policy: one write per pass.
  void savePolicy() EXCLUDES(lock_);

  // The bodies of the four requests; each throws the error its reply reports.
  Data statusLocked(Instant now) REQUIRES(lock_);
  // What the reading of names on the wire counted, while it is in force.
  std::optional<WireNamesCounts> wireNamesCountsLocked() const REQUIRES(lock_);
  // The layers' problems, and what else the status must name as a reason for attention.
  std::map<std::string, std::string> statusProblemsLocked() const REQUIRES(lock_);
  void enableBlockingLocked(const Data& argument, Instant now) REQUIRES(lock_);
  void updateConfigurationLocked(const Data& argument, Instant now) REQUIRES(lock_);
  // Makes `configuration` (checked) the first one, replacing an unusable stored state.
  void enableConfigurationLocked(const TamrinConfiguration& configuration, Instant now)
      REQUIRES(lock_);
  // Stages `configuration` (checked) on the policy in force, after a pass at `now` applied a
  // due change, never shortening a running block or its hold.
  void stageConfigurationLocked(const TamrinConfiguration& configuration, Instant now)
      REQUIRES(lock_);
  // Throws the refusal of a `configure` request while the managed file exists.
  void refuseWhileManagedLocked() const REQUIRES(lock_);
  // Reads the managed file and applies a usable configuration that differs from the latest
  // one in force or staged; a file that cannot be used, or a configuration that cannot be
  // applied, changes nothing and is the status's "managedConfiguration" problem. Runs after
  // the pass's reconciliation at `at`. Whether it changed the policy.
  bool applyManagedConfigurationLocked(Instant at) REQUIRES(lock_);
  void prepareForRemovalLocked(Instant now) REQUIRES(lock_);
  // What `policy` (none: no policy, the standard sites' entries go) demands of the layers at
  // `at`: the sites of the blocks it runs then, or of every block when `everyBlock` (a block
  // held past the schedule).
  EnforcementDemand demandFor(const std::optional<TamrinPolicy>& policy, bool blocking, Instant at,
                              bool everyBlock = false) const;
  // Brings every layer in line with `policy` at `at` and keeps what they hold for the status.
  void enforceLocked(const std::optional<TamrinPolicy>& policy, bool blocking, Instant at,
                     bool everyBlock = false) REQUIRES(lock_);
  // Asks every watcher to try again for what it lacks: their problems, by layer name.
  std::map<std::string, std::string> watcherProblems();
  // Whether the policy in force demands a block at `now`, its hold included.
  bool policyBlocksLocked(Instant now) REQUIRES(lock_);
  // The boot clock's reading under the boot id read at the start; absent without a boot
  // clock or when either cannot be read. Notes a later, different id in bootIdChanged_.
  std::optional<BootReading> readBootClock() const;
  // heldBeyondSchedule (block_hold.h) read on the boot clock; absent without a reading.
  std::optional<Instant> heldBeyondSchedule(const TamrinPolicy& policy, Instant now,
                                            const Calendar& calendar) const;
  // Resolves `domains` without our own sinks 0.0.0.0 and ::; absent when resolution fails or
  // answers only sinks. Needs no lock (and is called without it).
  std::optional<std::vector<std::string>> tryResolve(const std::vector<std::string>& domains) const;
  // The routable addresses (capped) that lines of the hosts file outside the managed block
  // give the blocked host names of `domains`; absent when none or the file cannot be read.
  std::optional<std::vector<std::string>> hostsFileSiteAddresses(
      const std::vector<std::string>& domains) const;
  // The hosts file's text, read as the resolver would find it; absent when it cannot be read.
  std::optional<std::string> hostsFileText() const;
  // With named blocks: gives each domain the policy blocks at `at` (every one, with
  // `everyBlock`) that has no addresses those of the hosts file's own lines. Whether it did.
  bool takeHostsFileAddresses(TamrinPolicy& policy, Instant at, const Calendar& calendar,
                              bool everyBlock) const;
  // Whether names may be resolved now: the hosts file is not known to hold a managed block,
  // and is no device, FIFO or socket that the system resolver would read.
  bool mayResolve() REQUIRES(lock_);

  // System lookups (system_lookup_pass.cc). Runs the lookup the last reconciliation
  // wanted, if no other runs: resolves without the lock (at most the system resolver's time
  // limit), then takes it to store the addresses if the policy still lacks them and no block
  // reached the hosts file meanwhile, and to enforce them when they are the running block's.
  void lookUpWantedSystemAddresses() EXCLUDES(lock_);
  // The same for a plan of named blocks: each domain resolved for itself, then stored.
  void lookUpDomains(const SystemLookupPlan& plan) EXCLUDES(lock_);
  // Block records (block_record_hold.cc). The wall instant at which the recorded block
  // held at start ends, as seen at `at`; absent, and the hold dropped, once it has ended.
  std::optional<Instant> recordHoldEndLocked(Instant at) REQUIRES(lock_);
  // Whether the policy in force keeps the recorded block ending at `end` by itself.
  bool policyKeepsRecordLocked(const BlockRecord& record, Instant now, Instant end) REQUIRES(lock_);
  // A pass during the hold: the record's names and addresses are enforced, with those of the
  // policy's own block when one runs; nothing else of the policy changes.
  void reconcileRecordHoldLocked(Instant at) REQUIRES(lock_);
  // Keeps the record of the block `policy` runs now (its hold gives the end), or none.
  void keepBlockRecordLocked(const std::optional<TamrinPolicy>& policy, bool blocking,
                             Instant at, bool everyBlock) REQUIRES(lock_);
  // Whether the copy in the packet filter may have changed since it was last looked at.
  bool recordRecheckLocked() REQUIRES(lock_);

  // Address refresh. What the pass at `at` should resolve directly; nothing without a direct
  // resolver.
  std::optional<RefreshPlan> planAddressRefreshLocked(Instant at) REQUIRES(lock_);
  // Resolves without the lock (at most the direct resolver's limit plus the system
  // resolver's time), then takes it to merge, keep, add to the filter and re-arm the timer.
  void refreshAddresses(const RefreshPlan& plan) EXCLUDES(lock_);
  // Whether the timer woke `at` only for a due refresh, before the next pass is due.
  bool isRefreshOnlyWakeLocked(Instant at) REQUIRES(lock_);
  // Arms the timer for the earlier of the next pass and the next refresh.
  void armTimerLocked(Instant after) REQUIRES(lock_);
  // addressRefreshWake (pass_timing.h) for the policy in force.
  std::optional<Instant> addressRefreshWakeLocked(Instant after) REQUIRES(lock_);

  mutable Mutex lock_;

  // Constant after construction.
  const HostsFile hosts_;  // read for the lookups' sake; Enforcement writes it
  const ResolveDomains resolveDomains_;
  const ServiceClock clock_;
  const ResolveDirect resolveDirect_;             // may be empty: no refresh of addresses
  const std::optional<std::string> startBootId_;  // as read at construction
  const TimerClock timerClock_;
  const std::function<void()> afterTimerPass_;  // may be empty
  const std::optional<ManagedConfigurationFile> managed_;
  // Set by create(), then constant. The timer runs its passes on its thread, the watchers
  // report on theirs; each holds the service only while it calls into it, so no pass runs on
  // a service being destroyed, and the thread that drops the last hold ends the others (its
  // own is let go and ends by itself).
  std::unique_ptr<ReconciliationTimer> timer_;
  std::vector<std::unique_ptr<ProtectionWatcher>> watchers_;

  // Set once a reading of the boot id differed from startBootId_: reported, never a reboot.
  mutable std::atomic<bool> bootIdChanged_{false};
  // Set by start(): from then on passes arm the timer, and requests reach it.
  std::atomic<bool> started_{false};

  // What the watchers report about the packet filter; safe from any thread.
  FilterWatch filterWatch_;

  // Without a lock of their own: used under lock_ only.
  PolicyStore store_ GUARDED_BY(lock_);
  Enforcement enforcement_ GUARDED_BY(lock_);
  // What the last pass found in place, for the status.
  EnforcementReport inPlace_ GUARDED_BY(lock_);
  std::optional<Instant> nextAddressRefresh_ GUARDED_BY(lock_);
  std::optional<Instant> nextPassAt_ GUARDED_BY(lock_);  // as last scheduled
  // What the last reconciliation found missing, and whether a lookup runs (one at a time).
  std::optional<SystemLookupPlan> systemLookupWanted_ GUARDED_BY(lock_);
  bool systemLookupRunning_ GUARDED_BY(lock_) = false;
  // The last pass enforced only because of the boot-clock hold, not the schedule.
  bool passHeldOnly_ GUARDED_BY(lock_) = false;
  // Why the managed file, as last read, changed nothing.
  std::optional<std::string> managedProblem_ GUARDED_BY(lock_);

  struct RecordHold {
    BlockRecord record;
    std::string reason;  // shown in the status
  };
  std::unique_ptr<BlockRecordKeeper> records_ GUARDED_BY(lock_);
  std::optional<RecordHold> recordHold_ GUARDED_BY(lock_);
  std::optional<std::uint64_t> recordCheckedAtChanges_ GUARDED_BY(lock_);
};

}  // namespace tamrin
