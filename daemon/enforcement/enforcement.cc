#include "daemon/enforcement/enforcement.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include "core/configuration.h"
#include "core/first_failure.h"

namespace tamrin {

Enforcement::Enforcement(HostsFile hosts, PacketFilter packetFilter, FlushDNS flushDNS,
                         const FilterWatch& watch)
    : hosts_(std::move(hosts)),
      packetFilter_(std::move(packetFilter)),
      flushDNS_(std::move(flushDNS)),
      watch_(watch) {}

EnforcementReport Enforcement::enforce(const EnforcementDemand& demand) {
  // The rules go in before the hosts block and come out after it, so that a pass cut short
  // never leaves the hosts block standing without them.
  if (!demand.blocking) reconcileHosts(demand);
  const bool filterConfirmed = reconcileFilter(demand);
  if (demand.blocking) reconcileHosts(demand);
  EnforcementReport report;
  if (layers_) {
    report.layers = layers_->reconcile(
        {.enabled = demand.enabled, .blocking = demand.blocking, .domains = demand.domains});
  }
  if (wireNames_) reconcileWireNames(demand, report.layers);
  if (demand.watcherProblems) {
    for (auto& [layer, problem] : demand.watcherProblems()) {
      if (demand.blocking) report.layers.problems[layer] = std::move(problem);
    }
  }
  report.managedBlocks = measure(demand, filterConfirmed);
  return report;
}

ManagedBlocks Enforcement::enforceFilter(const EnforcementDemand& demand) {
  return measure(demand, reconcileFilter(demand));
}

ManagedBlocks Enforcement::extendFilter(const EnforcementDemand& demand,
                                        const std::vector<std::string>& before) {
  confirmedFilter_.reset();
  std::vector<std::string> added;
  std::set_difference(demand.addresses.begin(), demand.addresses.end(), before.begin(),
                      before.end(), std::back_inserter(added));
  try {
    if (before.empty()) {
      packetFilter_.enable(demand.addresses);
    } else {
      packetFilter_.addAddresses(added);
    }
  } catch (const std::exception&) {
    // The next pass enables the whole list.
  }
  return measure(demand, false);
}

void Enforcement::removeAll() {
  FirstFailure failures;
  failures.attempt([&] { hosts_.setBlocked(false, TamrinConfiguration::standard().domains); });
  confirmedFilter_.reset();
  failures.attempt([&] { packetFilter_.disable(); });
  failures.attempt([&] { flushDNS_(); });
  if (const auto layers = layers_) failures.attempt([&] { layers->removeAll(); });
  if (const auto wireNames = wireNames_) {
    wireNames->stop();
    failures.attempt([&] { packetFilter_.stopInspectingNames(); });
    namesMayBeLoaded_ = false;
  }
  failures.rethrow();
}

std::optional<WireNamesLayer::Counts> Enforcement::wireNamesCounts() const {
  if (!wireNames_ || !namesMayBeLoaded_) return std::nullopt;
  return wireNames_->counts();
}

void Enforcement::reconcileWireNames(const EnforcementDemand& demand, LayerReport& report) {
  const bool inspecting = demand.blocking && demand.enabled && !demand.domains.empty();
  if (!inspecting) {
    wireNames_->reconcile(false, {}, report.inForce, report.problems);
    if (!namesMayBeLoaded_) return;
    try {
      packetFilter_.stopInspectingNames();
      namesMayBeLoaded_ = false;
    } catch (const std::exception&) {
      // Tried again at the next pass; a table left behind only copies to no one.
    }
    return;
  }
  namesMayBeLoaded_ = true;
  try {
    packetFilter_.inspectNames();
  } catch (const std::exception& error) {
    wireNames_->reconcile(false, {}, report.inForce, report.problems);
    report.problems[WireNamesLayer::kName] =
        std::string("the names table could not be loaded: ") + error.what();
    return;
  }
  wireNames_->reconcile(true, demand.domains, report.inForce, report.problems);
}

bool Enforcement::mayBeInForce() const {
  try {
    return hosts_.containsManagedBlock(std::nullopt) ||
           packetFilter_.containsManagedBlock(std::nullopt);
  } catch (const std::exception&) {
    return true;
  }
}

bool Enforcement::reconcileFilter(const EnforcementDemand& demand) {
  try {
    if (demand.blocking && !demand.addresses.empty()) {
      // Read before looking: a change while the tool runs makes the next pass look again.
      const std::uint64_t changes = watch_.changes();
      if (watch_.watched() && confirmedFilter_ && confirmedFilter_->changes == changes &&
          confirmedFilter_->addresses == demand.addresses) {
        return true;  // nothing touched the filter since it was in place
      }
      confirmedFilter_.reset();
      const bool inPlace = packetFilter_.enable(demand.addresses);
      if (inPlace) confirmedFilter_ = ConfirmedFilter{changes, demand.addresses};
      return inPlace;
    }
    confirmedFilter_.reset();
    packetFilter_.disable();
  } catch (const std::exception&) {
  }
  return false;
}

void Enforcement::reconcileHosts(const EnforcementDemand& demand) const {
  try {
    if (hosts_.setBlocked(demand.blocking, demand.domains)) {
      try {
        flushDNS_();
      } catch (const std::exception&) {
      }
    }
  } catch (const std::exception&) {
  }
}

ManagedBlocks Enforcement::measure(const EnforcementDemand& demand, bool filterConfirmed) const {
  const bool enforcing = demand.blocking && demand.enabled;
  ManagedBlocks found;
  try {
    found.hosts =
        hosts_.containsManagedBlock(enforcing ? std::optional(demand.domains) : std::nullopt);
  } catch (const std::exception&) {
    found.hosts = !enforcing;
  }
  if (enforcing && filterConfirmed) {
    found.packetFilter = true;  // checked by this pass, or untouched since a check
    return found;
  }
  try {
    found.packetFilter = packetFilter_.containsManagedBlock(
        enforcing ? std::optional(demand.addresses) : std::nullopt);
  } catch (const std::exception&) {
    found.packetFilter = !enforcing;
  }
  return found;
}

}  // namespace tamrin
