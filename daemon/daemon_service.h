#pragma once

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
#include "daemon/mutex.h"
#include "daemon/packet_filter.h"
#include "daemon/protection_layers.h"
#include "daemon/reconciliation_timer.h"

namespace tamrin {

// Where the service reads the time and the local calendar; the daemon reads the system's.
struct ServiceClock {
  std::function<Instant()> now;
  std::function<Calendar()> calendar;

  static ServiceClock system();
};

// The daemon's one stateful object: the policy in force and its file, the two enforcement
// mechanisms, the last observation of both, and the reconciliation timer. One mutex is held
// for the whole of every request and every reconciliation pass, replies included.
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
                                               ServiceClock clock = ServiceClock::system());

  // Creates the timer and runs the first reconciliation pass, which arms it.
  void start() EXCLUDES(lock_);
  // Adds the further protection layers that every pass reconciles and the status reports.
  void attachLayers(std::shared_ptr<const ProtectionLayers> layers) EXCLUDES(lock_);

  void getStatus(Reply reply) override EXCLUDES(lock_);
  void enableBlocking(const Data& configuration, Reply reply) override EXCLUDES(lock_);
  void updateConfiguration(const Data& configuration, Reply reply) override EXCLUDES(lock_);
  void prepareForRemoval(Reply reply) override EXCLUDES(lock_);

  // One pass: reconcile at `at`, then re-arm the timer from `at`.
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
                ResolveDomains resolveDomains, FlushDNS flushDNS, ServiceClock clock);

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
  void refreshProtectionState(const std::optional<TamrinPolicy>& policy, Instant at)
      REQUIRES(lock_);
  // Resolves `domains`; absent when resolution fails.
  std::optional<std::vector<std::string>> tryResolve(const std::vector<std::string>& domains)
      REQUIRES(lock_);
  // Whether the hosts file holds a managed block; absent when it cannot be read.
  std::optional<bool> hostsHoldAnyBlock() REQUIRES(lock_);

  mutable Mutex lock_;

  // Constant after construction.
  const std::filesystem::path policyURL_;
  const HostsFile hosts_;
  const PacketFilter packetFilter_;
  const ResolveDomains resolveDomains_;
  const FlushDNS flushDNS_;
  const ServiceClock clock_;

  std::optional<TamrinPolicy> policy_ GUARDED_BY(lock_);
  bool policyLoadFailed_ GUARDED_BY(lock_) = false;
  bool policyNeedsSave_ GUARDED_BY(lock_) = false;
  bool managedHostsBlockPresent_ GUARDED_BY(lock_) = false;
  bool managedPacketFilterBlockPresent_ GUARDED_BY(lock_) = false;
  std::unique_ptr<ReconciliationTimer> timer_ GUARDED_BY(lock_);
  std::shared_ptr<const ProtectionLayers> layers_ GUARDED_BY(lock_);
  LayerReport layerReport_ GUARDED_BY(lock_);
};

}  // namespace tamrin
