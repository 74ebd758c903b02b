#include "control/control_status.h"

#include <date/date.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "core/json_coding.h"

namespace tamrin {
namespace {

const char* stateWord(const DaemonStatus& status, bool hasProtectionMismatch) {
  if (hasProtectionMismatch) return "attention";
  if (!status.policy) return "notConfigured";
  if (status.blocked.value_or(false)) return "protected";
  return "access";
}

}  // namespace

ControlStatus makeControlStatus(const DaemonStatus& status, Instant now, const Calendar& calendar) {
  ControlStatus result;
  result.hasProtectionMismatch = status.hasProtectionMismatch();
  result.isProtected = status.blocked.value_or(false) && status.managedHostsBlockPresent &&
                       status.managedPacketFilterBlockPresent;
  result.state = stateWord(status, result.hasProtectionMismatch);
  result.layerProblems = status.layerProblems;
  // Printed once the reading of names has refused a flow: a status line without refusals
  // reads as it always did.
  if (status.wireNames && status.wireNames->flowsRefused > 0) {
    result.flowsRefusedByName = status.wireNames->flowsRefused;
  }
  if (const auto& policy = status.policy) {
    result.configuration = policy->configuredForNextFocus();
    result.pendingChangesApplyAt = policy->pendingConfigurationAppliesAt;
    if (status.blockHeldUntil) {
      result.nextTransition = *status.blockHeldUntil;
      result.nextTransitionKind = "access";
    } else if (policy->usesNamedBlocks()) {
      // The next change of the blocked names: "blocking" when it blocks a name more.
      const Instant next = policy->nextEnforcementTransition(now, calendar);
      const auto before = policy->enforcedSites(now, calendar).domains;
      const auto after = policy->enforcedSites(next, calendar).domains;
      const bool blocksMore = std::any_of(after.begin(), after.end(), [&](const std::string& d) {
        return std::find(before.begin(), before.end(), d) == before.end();
      });
      result.nextTransition = next;
      result.nextTransitionKind = blocksMore ? "blocking" : "access";
    } else if (policy->isScheduledAccess(now, calendar)) {
      result.nextTransition = policy->nextScheduledBlockStart(now, calendar);
      result.nextTransitionKind = "blocking";
    } else {
      result.nextTransition = policy->nextScheduledAccessStart(now, calendar);
      result.nextTransitionKind = "access";
    }
    if (policy->configuredForNextFocus().blocks) {
      result.blocks.emplace();
      for (const BlockState& block : policy->blockStates(now, calendar)) {
        result.blocks->push_back({.name = block.name,
                                  .state = block.blocked ? "protected" : "access",
                                  .nextTransition = block.nextTransition == Instant::distantFuture()
                                                        ? std::nullopt
                                                        : std::optional(block.nextTransition),
                                  .nextTransitionKind = block.blocked ? "access" : "blocking",
                                  .pendingChangesApplyAt = block.pendingChangesApplyAt});
      }
    }
  }
  return result;
}

std::string iso8601Text(Instant instant) {
  using namespace std::chrono;
  // 0001-01-01T00:00:00Z and 10000-01-01T00:00:00Z in seconds since 1970.
  constexpr double kFirst = -62135596800.0;
  constexpr double kPastLast = 253402300800.0;
  const double unixSeconds = std::floor(instant.unixSeconds());
  if (!(unixSeconds >= kFirst && unixSeconds < kPastLast)) {
    throw std::out_of_range("An instant lies outside the years 1 to 9999.");
  }
  const date::sys_seconds point{seconds(static_cast<long long>(unixSeconds))};
  return date::format("%Y-%m-%dT%H:%M:%SZ", point);
}

std::string encodeControlStatus(const ControlStatus& status) {
  // nlohmann::json keeps object keys sorted, nested objects included.
  nlohmann::json json = {
      {"state", status.state},
      {"isProtected", status.isProtected},
      {"hasProtectionMismatch", status.hasProtectionMismatch},
  };
  if (status.configuration) json["configuration"] = configurationToJson(*status.configuration);
  if (status.nextTransition) json["nextTransition"] = iso8601Text(*status.nextTransition);
  if (status.nextTransitionKind) json["nextTransitionKind"] = *status.nextTransitionKind;
  if (status.pendingChangesApplyAt) {
    json["pendingChangesApplyAt"] = iso8601Text(*status.pendingChangesApplyAt);
  }
  if (!status.layerProblems.empty()) json["layerProblems"] = status.layerProblems;
  if (status.flowsRefusedByName) json["flowsRefusedByName"] = *status.flowsRefusedByName;
  if (status.blocks) {
    nlohmann::json blocks = nlohmann::json::array();
    for (const ControlStatus::Block& block : *status.blocks) {
      nlohmann::json entry = {{"name", block.name}, {"state", block.state}};
      if (block.nextTransition) {
        entry["nextTransition"] = iso8601Text(*block.nextTransition);
        entry["nextTransitionKind"] = block.nextTransitionKind;
      }
      if (block.pendingChangesApplyAt) {
        entry["pendingChangesApplyAt"] = iso8601Text(*block.pendingChangesApplyAt);
      }
      blocks.push_back(std::move(entry));
    }
    json["blocks"] = std::move(blocks);
  }
  return dumpJson(json);
}

}  // namespace tamrin
