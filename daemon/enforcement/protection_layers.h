#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/first_failure.h"
#include "daemon/enforcement/browser_policies.h"
#include "daemon/enforcement/name_service_layer.h"
#include "daemon/enforcement/stop_guard.h"

namespace tamrin {

// What the further layers should do in one reconciliation pass.
struct LayerDemand {
  bool enabled = false;   // a policy exists (blocking is enabled)
  bool blocking = false;  // the schedule demands enforcement now
  std::vector<std::string> domains = {};
};

// What the further layers found after a pass: the layers in force, and why others are not.
struct LayerReport {
  std::vector<std::string> inForce = {};
  std::map<std::string, std::string> problems = {};
};

// The protection beyond the hosts file and the packet filter: the name-service module's suffix
// list and nsswitch.conf, the browsers' managed policies, and the service manager's refusal to
// stop the daemon. Paths and the manager are handed in, so tests run it over a scratch
// directory.
class ProtectionLayers {
 public:
  ProtectionLayers(NameServicePaths nameService, BrowserPolicyPaths browsers,
                   StopGuard stopGuard = StopGuard({}, nullptr))
      : nameService_(std::move(nameService)),
        browsers_(std::move(browsers)),
        stopGuard_(std::move(stopGuard)) {}

  // Brings every layer in line with the demand and measures it. Never throws.
  LayerReport reconcile(const LayerDemand& demand) const {
    LayerReport report;
    nameService_.reconcile(demand.blocking, demand.domains, report.inForce, report.problems);
    browsers_.reconcile(demand.enabled, demand.blocking, demand.domains, report.inForce,
                        report.problems);
    stopGuard_.reconcile(demand.blocking, report.inForce, report.problems);
    return report;
  }

  // Removes the temporaries of interrupted writes beside the suffix list, the browsers'
  // policy files and the stop guard. Call it only while no pass runs. Never throws.
  void removeStaleTemporaries() const {
    nameService_.removeStaleTemporaries();
    browsers_.removeStaleTemporaries();
    stopGuard_.removeStaleTemporaries();
  }

  // Empties the suffix list, removes every policy file written and the stop guard; throws the
  // first failure after trying all.
  void removeAll() const {
    FirstFailure failures;
    failures.attempt([this] { nameService_.remove(); });
    failures.attempt([this] { browsers_.removeAll(); });
    failures.attempt([this] { stopGuard_.remove(); });
    failures.rethrow();
  }

  // The stop guard's drop-in, to be watched; empty without a service manager.
  std::filesystem::path stopGuardFile() const { return stopGuard_.dropIn(); }

 private:
  const NameServiceLayer nameService_;
  const BrowserPolicies browsers_;
  const StopGuard stopGuard_;
};

}  // namespace tamrin
