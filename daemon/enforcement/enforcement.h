#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/hosts_file.h"
#include "daemon/enforcement/packet_filter.h"
#include "daemon/enforcement/protection_layers.h"
#include "daemon/enforcement/wire_names_layer.h"

namespace tamrin {

// What a watcher has reported about the packet filter: how many changes, and whether it
// still reports them. Written from the watcher's thread, read by passes; safe from any thread.
class FilterWatch {
 public:
  // A watcher starts reporting.
  void started() { watched_ = true; }
  // It saw the filter change (or lost events, so the filter may have changed).
  void changed() { ++changes_; }
  // It stopped: it reports nothing more.
  void stopped() { watched_ = false; }

  std::uint64_t changes() const { return changes_; }
  bool watched() const { return watched_; }

 private:
  std::atomic<std::uint64_t> changes_{0};
  std::atomic<bool> watched_{false};
};

// What one pass demands of every layer.
struct EnforcementDemand {
  bool enabled = false;   // a policy exists (blocking is enabled)
  bool blocking = false;  // a block runs now; implies enabled
  std::vector<std::string> domains = {};
  std::vector<std::string> addresses = {};  // none: the filter holds no rules
  // Asked once the layers are in line: the problems of what watches them, by layer name,
  // reported during a block only (changes it cannot see wait for the timer).
  std::function<std::map<std::string, std::string>()> watcherProblems = nullptr;
};

// Whether the hosts file and the packet filter hold a managed block: exactly the demanded one
// during a block, any at all otherwise. What cannot be read counts as not in place during a
// block and as in place outside one.
struct ManagedBlocks {
  bool hosts = false;
  bool packetFilter = false;
};

// What a pass found and did: the two mechanisms, and the further layers.
struct EnforcementReport {
  ManagedBlocks managedBlocks;
  LayerReport layers;
};

// Everything that changes the machine for a block: the hosts file's managed block, the packet
// filter's rules, the DNS cache flush and the further layers. Every pass goes through one
// contract: bring the layers in line with a demand, never throw, return what is in place.
// Not synchronised: its holder serialises the calls (FilterWatch excepted).
class Enforcement {
 public:
  using FlushDNS = std::function<void()>;

  // `watch` must outlive this object.
  Enforcement(HostsFile hosts, PacketFilter packetFilter, FlushDNS flushDNS,
              const FilterWatch& watch);

  // Adds the further layers that every enforce() reconciles and reports.
  void attachLayers(std::shared_ptr<const ProtectionLayers> layers) { layers_ = std::move(layers); }
  // Adds the reading of names on the wire: during blocks the filter's names table and the
  // layer that reads the copies it makes.
  void attachWireNames(std::shared_ptr<WireNamesLayer> wireNames) {
    wireNames_ = std::move(wireNames);
  }
  // What the reading of names did since the block began; absent without it or outside blocks.
  std::optional<WireNamesLayer::Counts> wireNamesCounts() const;

  // Brings the hosts file, the packet filter and the further layers in line with `demand`,
  // flushes the DNS cache when the hosts file changed, and measures the outcome.
  EnforcementReport enforce(const EnforcementDemand& demand);
  // Brings only the packet filter in line with `demand` and measures both mechanisms.
  ManagedBlocks enforceFilter(const EnforcementDemand& demand);
  // Adds to the rules in force for `before` what `demand`'s addresses add, without reloading
  // anything (all of them when `before` was empty, for want of which the filter was cleared),
  // then measures both mechanisms. A failure leaves the whole list to the next enforce().
  ManagedBlocks extendFilter(const EnforcementDemand& demand,
                             const std::vector<std::string>& before);

  // Removes the hosts block, the packet-filter rules and the further layers and flushes the
  // DNS cache; every step always runs, and the first failure is thrown.
  void removeAll();
  // Whether the hosts block or the packet-filter rules are in place, or cannot be measured.
  bool mayBeInForce() const;

 private:
  // Enables the rules for the demanded addresses when blocking with some, else clears them.
  // Returns whether the filter was found exactly in place (or untouched since it was).
  bool reconcileFilter(const EnforcementDemand& demand);
  // Sets or removes the hosts block, and flushes the DNS cache when it changed.
  void reconcileHosts(const EnforcementDemand& demand) const;
  // Loads the names table and runs its layer during a block; stops both otherwise.
  void reconcileWireNames(const EnforcementDemand& demand, LayerReport& report);
  // Measures both mechanisms; `filterConfirmed`: this pass found the filter in place already.
  ManagedBlocks measure(const EnforcementDemand& demand, bool filterConfirmed) const;

  const HostsFile hosts_;
  const PacketFilter packetFilter_;
  const FlushDNS flushDNS_;
  const FilterWatch& watch_;
  std::shared_ptr<const ProtectionLayers> layers_;
  std::shared_ptr<WireNamesLayer> wireNames_;
  // Whether the names table may hold rules: unknown at first, so the first pass outside a
  // block removes what a daemon that died during one left.
  bool namesMayBeLoaded_ = true;

  // The filter as a pass last found it exactly in place, with the watcher's count of changes
  // read before that look. While the watcher still reports and its count has not moved, nothing
  // has touched the filter since, so a pass for the same addresses need not run the tool: the
  // count is read before the tool runs, so a change during the run makes the next pass look.
  // Every write of the filter drops it (another list, a disable, a removal), and so does a
  // look that did not find it in place.
  struct ConfirmedFilter {
    std::uint64_t changes;
    std::vector<std::string> addresses;
  };
  std::optional<ConfirmedFilter> confirmedFilter_;
};

}  // namespace tamrin
