#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "core/hosts_file.h"
#include "core/instant.h"
#include "daemon/enforcement/packet_filter.h"
#include "daemon/enforcement/protection_layers.h"
#include "daemon/enforcement/wire_names_layer.h"
#include "daemon/events/protection_watcher.h"
#include "daemon/events/reconciliation_timer.h"
#include "daemon/resolve/direct_resolver.h"
#include "daemon/service/block_hold.h"
#include "daemon/service/block_record_store.h"
#include "daemon/service/managed_configuration.h"

namespace tamrin {

// Where the service reads the time and the local calendar; the daemon reads the system's.
// With a boot clock, a running block is held on it (see block_hold.h) until its real length
// has passed, whatever the wall clock or the zone says meanwhile; without one, nothing is held.
struct ServiceClock {
  std::function<Instant()> now;
  std::function<Calendar()> calendar;
  std::optional<BootClock> boot = std::nullopt;

  static ServiceClock system();
};

// The system resolver: the addresses of `domains`; throws when none can be had.
using ResolveDomains = std::function<std::vector<std::string>(const std::vector<std::string>&)>;
using FlushDNS = std::function<void()>;

// Everything the service reaches outside itself, handed over once to DaemonService::create():
// main.cc fills it with the system's pieces, tests with fakes. Members marked optional may be
// left empty.
struct DaemonEnvironment {
  std::filesystem::path policyPath;
  HostsFile hosts;
  PacketFilter packetFilter;
  ServiceClock clock = ServiceClock::system();
  // The clocks of the reconciliation timer; tests move them together with `clock`.
  TimerClock timerClock = TimerClock::system();
  ResolveDomains resolveDomains;
  // Optional: without it, resolved addresses are never refreshed during a block.
  ResolveDirect resolveDirect = nullptr;
  FlushDNS flushDNS;
  // Optional: the layers beyond the hosts file and the filter, reconciled by every pass.
  std::shared_ptr<const ProtectionLayers> layers = nullptr;
  // Optional: the reading of names on the wire during blocks (the filter's names table and
  // its layer).
  std::shared_ptr<WireNamesLayer> wireNames = nullptr;
  // Optional: each change one of them reports asks for a pass (once the service started).
  std::vector<std::unique_ptr<ProtectionWatcher>> watchers = {};
  // Optional: keeps the record of every running block beside the policy (block_record.h).
  std::unique_ptr<BlockRecordKeeper> blockRecords = nullptr;
  // Optional: runs on the timer's thread after every pass the timer runs (at least one a
  // minute), so a daemon that is stopped or stuck in a pass stops calling it.
  std::function<void()> afterTimerPass = nullptr;
  // Optional: the file that configuration management writes. Every pass applies what it
  // holds (as a first configuration, or staged like an update), and `configure` requests are
  // refused while it exists; its watching is the watchers' job.
  std::optional<ManagedConfigurationFile> managedConfiguration = std::nullopt;
};

}  // namespace tamrin
