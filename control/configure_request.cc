#include "control/configure_request.h"

#include <algorithm>
#include <unordered_set>

#include "control/control_error.h"
#include "core/json_coding.h"

namespace tamrin {

ConfigureRequest decodeConfigureRequest(std::string_view bytes) {
  const nlohmann::json json = parseJson(bytes);
  requireObject(json, "the configuration");
  return ConfigureRequest{
      .domains = readStringArray(requireMember(json, "domains"), "domains"),
      .focusStartMinutes = readInt64(requireMember(json, "focusStartMinutes"), "focusStartMinutes"),
      .accessStartMinutes =
          readInt64(requireMember(json, "accessStartMinutes"), "accessStartMinutes"),
      .activeWeekdays = readInt64Array(requireMember(json, "activeWeekdays"), "activeWeekdays"),
  };
}

TamrinConfiguration cleanedConfiguration(const ConfigureRequest& request) {
  std::vector<std::string> domains;
  std::unordered_set<std::string> seen;
  for (const std::string& entry : request.domains) {
    std::optional<std::string> domain = normalizedDomain(entry);
    if (!domain) throw ControlError::invalidConfiguration();
    if (seen.insert(*domain).second) domains.push_back(std::move(*domain));
  }
  std::vector<std::int64_t> weekdays = request.activeWeekdays;
  std::sort(weekdays.begin(), weekdays.end());
  TamrinConfiguration configuration{
      .domains = std::move(domains),
      .focusStartMinutes = request.focusStartMinutes,
      .accessStartMinutes = request.accessStartMinutes,
      .activeWeekdays = std::move(weekdays),
  };
  if (!configuration.isValid()) throw ControlError::invalidConfiguration();
  return configuration;
}

}  // namespace tamrin
