#include "core/daemon_status.h"

#include <nlohmann/json.hpp>

#include "core/json_coding.h"
#include "core/json_error.h"

namespace tamrin {

nlohmann::json daemonStatusToJson(const DaemonStatus& status) {
  nlohmann::json json = {
      {"managedHostsBlockPresent", status.managedHostsBlockPresent},
      {"managedPacketFilterBlockPresent", status.managedPacketFilterBlockPresent},
  };
  if (status.blocked) json["blocked"] = *status.blocked;
  if (status.policy) json["policy"] = policyToJson(*status.policy);
  if (status.blockHeldUntil)
    json["blockHeldUntil"] = status.blockHeldUntil->secondsSinceReference();
  if (!status.layersInForce.empty()) json["layersInForce"] = status.layersInForce;
  if (!status.layerProblems.empty()) json["layerProblems"] = status.layerProblems;
  if (status.wireNames) {
    json["flowsRefusedByName"] = status.wireNames->flowsRefused;
    json["inspectionsLost"] = status.wireNames->inspectionsLost;
  }
  return json;
}

DaemonStatus daemonStatusFromJson(const nlohmann::json& json) {
  requireObject(json, "a status");
  DaemonStatus status;
  if (const auto* value = optionalMember(json, "blocked"))
    status.blocked = readBool(*value, "blocked");
  status.managedHostsBlockPresent =
      readBool(requireMember(json, "managedHostsBlockPresent"), "managedHostsBlockPresent");
  status.managedPacketFilterBlockPresent = readBool(
      requireMember(json, "managedPacketFilterBlockPresent"), "managedPacketFilterBlockPresent");
  if (const auto* value = optionalMember(json, "policy")) status.policy = policyFromJson(*value);
  if (const auto* value = optionalMember(json, "blockHeldUntil")) {
    status.blockHeldUntil = readInstant(*value, "blockHeldUntil");
  }
  if (const auto* value = optionalMember(json, "layersInForce")) {
    status.layersInForce = readStringArray(*value, "layersInForce");
  }
  if (const auto* value = optionalMember(json, "layerProblems")) {
    requireObject(*value, "layerProblems");
    for (const auto& [layer, reason] : value->items()) {
      if (!reason.is_string()) throw JsonError("\"layerProblems\" must map layers to texts");
      status.layerProblems[layer] = reason.get<std::string>();
    }
  }
  if (const auto* value = optionalMember(json, "flowsRefusedByName")) {
    if (!value->is_number_unsigned()) {
      throw JsonError("Invalid JSON: \"flowsRefusedByName\" must be a count.");
    }
    WireNamesCounts counts{.flowsRefused = value->get<std::uint64_t>()};
    if (const auto* lost = optionalMember(json, "inspectionsLost"); lost && lost->is_number_unsigned()) {
      counts.inspectionsLost = lost->get<std::uint64_t>();
    }
    status.wireNames = counts;
  }
  return status;
}

std::string encodeDaemonStatus(const DaemonStatus& status) {
  return dumpJson(daemonStatusToJson(status));
}

DaemonStatus decodeDaemonStatus(std::string_view bytes) {
  return daemonStatusFromJson(parseJson(bytes));
}

}  // namespace tamrin
