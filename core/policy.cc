#include "core/policy.h"

#include <nlohmann/json.hpp>

#include "core/json_coding.h"
#include "core/json_error.h"
#include "core/tamrin_error.h"
#include "core/window_union.h"

namespace tamrin {

TamrinPolicy::TamrinPolicy(TamrinConfiguration current) : configuration(std::move(current)) {}

const TamrinConfiguration& TamrinPolicy::configuredForNextFocus() const {
  return pendingConfiguration ? *pendingConfiguration : configuration;
}

void TamrinPolicy::stageConfiguration(const TamrinConfiguration& next, Instant at,
                                      std::optional<std::vector<std::string>> addresses,
                                      const Calendar& calendar, std::optional<Instant> heldUntil) {
  if (!next.isValid()) throw TamrinError(TamrinError::Kind::invalidConfiguration);
  if (usesNamedBlocks() || next.blocks) {
    stageNamedBlocks(next, at, calendar, heldUntil);
    return;
  }
  const TamrinConfiguration* governing = scheduledConfiguration(at);
  if (next == configuration && governing != nullptr && *governing == next) {
    pendingConfiguration.reset();
    pendingResolvedAddresses.reset();
    pendingConfigurationAppliesAt.reset();
    pendingConfigurationStopsEnforcingAt.reset();
    return;
  }
  const bool blockRunning = governing != nullptr && isCovered(at, *governing, calendar);
  Instant stopsEnforcing = blockRunning ? nextScheduledAccessStart(at, calendar) : at;
  if (heldUntil && *heldUntil > stopsEnforcing) stopsEnforcing = *heldUntil;
  const Instant applies = nextScheduledBlockStart(stopsEnforcing, next, true, calendar);
  pendingConfiguration = next;
  pendingResolvedAddresses = std::move(addresses);
  pendingConfigurationStopsEnforcingAt = stopsEnforcing;
  pendingConfigurationAppliesAt = applies;
}

bool TamrinPolicy::applyPendingConfigurationIfNeeded(Instant at) {
  if (usesNamedBlocks()) return applyNamedBlocksIfNeeded(at);
  if (!pendingConfiguration || !pendingConfigurationAppliesAt ||
      at < *pendingConfigurationAppliesAt) {
    return false;
  }
  configuration = std::move(*pendingConfiguration);
  resolvedAddresses = std::move(pendingResolvedAddresses);
  pendingConfiguration.reset();
  pendingResolvedAddresses.reset();
  pendingConfigurationAppliesAt.reset();
  pendingConfigurationStopsEnforcingAt.reset();
  return true;
}

bool TamrinPolicy::needsPendingAddressResolution(Instant at, const Calendar& calendar) const {
  // With named blocks, addresses belong to domains and are looked up by domain.
  if (usesNamedBlocks()) return false;
  if (!pendingConfiguration || pendingResolvedAddresses || !pendingConfigurationAppliesAt) {
    return false;
  }
  const TamrinConfiguration* governing = scheduledConfiguration(at);
  if (governing == nullptr || !isCovered(at, *governing, calendar)) return true;
  return at >= *pendingConfigurationAppliesAt;
}

void TamrinPolicy::validateRemoval(Instant at, const Calendar& calendar) const {
  if (shouldEnforce(at, calendar)) throw TamrinError(TamrinError::Kind::focusRemovalLocked);
}

nlohmann::json policyToJson(const TamrinPolicy& policy) {
  nlohmann::json json = {{"configuration", configurationToJson(policy.configuration)}};
  if (policy.resolvedAddresses) json["resolvedAddresses"] = *policy.resolvedAddresses;
  if (policy.pendingConfiguration) {
    json["pendingConfiguration"] = configurationToJson(*policy.pendingConfiguration);
  }
  if (policy.pendingResolvedAddresses) {
    json["pendingResolvedAddresses"] = *policy.pendingResolvedAddresses;
  }
  if (policy.pendingConfigurationAppliesAt) {
    json["pendingConfigurationAppliesAt"] =
        policy.pendingConfigurationAppliesAt->secondsSinceReference();
  }
  if (policy.pendingConfigurationStopsEnforcingAt) {
    json["pendingConfigurationStopsEnforcingAt"] =
        policy.pendingConfigurationStopsEnforcingAt->secondsSinceReference();
  }
  if (!policy.pendingBlocks.empty()) {
    nlohmann::json stagings = nlohmann::json::array();
    for (const BlockStaging& staging : policy.pendingBlocks) {
      nlohmann::json entry = {{"name", staging.name},
                              {"stopsEnforcingAt", staging.stopsEnforcingAt.secondsSinceReference()}};
      if (staging.previous) entry["previous"] = configurationToJson(*staging.previous);
      if (staging.appliesAt) entry["appliesAt"] = staging.appliesAt->secondsSinceReference();
      stagings.push_back(std::move(entry));
    }
    json["pendingBlocks"] = std::move(stagings);
  }
  if (!policy.addressesByDomain.empty()) {
    json["resolvedAddressesByDomain"] = policy.addressesByDomain;
  }
  if (policy.blockHold) {
    json["anchorBootId"] = policy.blockHold->bootId;
    json["anchorEndsAtBootTime"] = policy.blockHold->endsAtBootTime;
    if (const auto& endsAt = policy.blockHold->endsAt) {
      json["anchorEndsAt"] = endsAt->secondsSinceReference();
    }
    if (const auto& recorded = policy.blockHold->recordedAtBootTime) {
      json["anchorRecordedAtBootTime"] = *recorded;
    }
  }
  return json;
}

TamrinPolicy policyFromJson(const nlohmann::json& json) {
  requireObject(json, "a policy");
  TamrinPolicy policy(configurationFromJson(requireMember(json, "configuration")));
  if (const auto* value = optionalMember(json, "resolvedAddresses")) {
    policy.resolvedAddresses = readStringArray(*value, "resolvedAddresses");
  }
  if (const auto* value = optionalMember(json, "pendingConfiguration")) {
    policy.pendingConfiguration = configurationFromJson(*value);
  }
  if (const auto* value = optionalMember(json, "pendingResolvedAddresses")) {
    policy.pendingResolvedAddresses = readStringArray(*value, "pendingResolvedAddresses");
  }
  if (const auto* value = optionalMember(json, "pendingConfigurationAppliesAt")) {
    policy.pendingConfigurationAppliesAt = readInstant(*value, "pendingConfigurationAppliesAt");
  }
  if (const auto* value = optionalMember(json, "pendingConfigurationStopsEnforcingAt")) {
    policy.pendingConfigurationStopsEnforcingAt =
        readInstant(*value, "pendingConfigurationStopsEnforcingAt");
  }
  if (const auto* value = optionalMember(json, "pendingBlocks")) {
    if (!value->is_array()) throw JsonError(R"(Invalid JSON: "pendingBlocks" must be an array.)");
    for (const nlohmann::json& entry : *value) {
      requireObject(entry, "\"pendingBlocks\"");
      const nlohmann::json& name = requireMember(entry, "name");
      if (!name.is_string()) throw JsonError(R"(Invalid JSON: a staged block's name must be a string.)");
      BlockStaging staging{.name = name.get<std::string>(),
                           .stopsEnforcingAt = readInstant(requireMember(entry, "stopsEnforcingAt"),
                                                           "stopsEnforcingAt")};
      if (const auto* previous = optionalMember(entry, "previous")) {
        staging.previous = configurationFromJson(*previous);
      }
      if (const auto* applies = optionalMember(entry, "appliesAt")) {
        staging.appliesAt = readInstant(*applies, "appliesAt");
      }
      policy.pendingBlocks.push_back(std::move(staging));
    }
  }
  if (const auto* value = optionalMember(json, "resolvedAddressesByDomain")) {
    requireObject(*value, "\"resolvedAddressesByDomain\"");
    for (const auto& [domain, addresses] : value->items()) {
      policy.addressesByDomain[domain] = readStringArray(addresses, "resolvedAddressesByDomain");
    }
  }
  const auto* bootId = optionalMember(json, "anchorBootId");
  const auto* endsAt = optionalMember(json, "anchorEndsAtBootTime");
  if (bootId || endsAt) {
    if (!bootId || !bootId->is_string() || bootId->get<std::string>().empty() || !endsAt) {
      throw JsonError("Invalid JSON: a boot anchor needs a boot id and a boot time.");
    }
    const double seconds = readInstant(*endsAt, "anchorEndsAtBootTime").secondsSinceReference();
    if (seconds < 0) throw JsonError("Invalid JSON: \"anchorEndsAtBootTime\" is negative.");
    policy.blockHold = BlockHold{.bootId = bootId->get<std::string>(), .endsAtBootTime = seconds};
    if (const auto* value = optionalMember(json, "anchorEndsAt")) {
      policy.blockHold->endsAt = readInstant(*value, "anchorEndsAt");
    }
    if (const auto* value = optionalMember(json, "anchorRecordedAtBootTime")) {
      const double recorded =
          readInstant(*value, "anchorRecordedAtBootTime").secondsSinceReference();
      if (recorded < 0) throw JsonError("Invalid JSON: \"anchorRecordedAtBootTime\" is negative.");
      policy.blockHold->recordedAtBootTime = recorded;
    }
  }
  return policy;
}

std::string encodePolicy(const TamrinPolicy& policy) { return dumpJson(policyToJson(policy)); }

TamrinPolicy decodePolicy(std::string_view bytes) { return policyFromJson(parseJson(bytes)); }

}  // namespace tamrin
