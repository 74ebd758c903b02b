#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/policy.h"

namespace tamrin {

// What the reading of names on the wire did since the running block began: the flows it
// refused by their server name, and how many times the kernel dropped copies before it read
// them.
struct WireNamesCounts {
  std::uint64_t flowsRefused = 0;
  std::uint64_t inspectionsLost = 0;

  bool operator==(const WireNamesCounts&) const = default;
};

// The daemon's answer to a status request: whether the schedule demands enforcement now
// (absent without a policy), what the last reconciliation found in place, and the policy.
struct DaemonStatus {
  std::optional<bool> blocked;
  bool managedHostsBlockPresent = false;
  bool managedPacketFilterBlockPresent = false;
  std::optional<TamrinPolicy> policy;
  // Set while the daemon holds a block past what the schedule demands (the wall clock or the
  // zone was changed during it): when that block really ends.
  std::optional<Instant> blockHeldUntil = std::nullopt;
  // The further protection layers in force (name service, browser policies), and for each
  // layer that is not as it should be, why. Both empty when the daemon has no such layers.
  std::vector<std::string> layersInForce = {};
  std::map<std::string, std::string> layerProblems = {};
  // Present while names on the wire are read (a block runs and the layer is in force).
  std::optional<WireNamesCounts> wireNames = std::nullopt;

  // True when either mechanism's presence differs from what the schedule demands (enforcement
  // when `blocked` is true; nothing otherwise, including without a policy), or when a further
  // layer has a problem.
  bool hasProtectionMismatch() const {
    const bool expected = blocked.value_or(false);
    return managedHostsBlockPresent != expected || managedPacketFilterBlockPresent != expected ||
           !layerProblems.empty();
  }

  bool operator==(const DaemonStatus&) const = default;
};

nlohmann::json daemonStatusToJson(const DaemonStatus& status);
DaemonStatus daemonStatusFromJson(const nlohmann::json& json);

std::string encodeDaemonStatus(const DaemonStatus& status);
// Throws JsonError for a missing presence key or a value of the wrong type.
DaemonStatus decodeDaemonStatus(std::string_view bytes);

}  // namespace tamrin
