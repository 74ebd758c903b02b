#include "control/configure_request.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "control/control_error.h"
#include "core/json_coding.h"
#include "core/week_coverage.h"

namespace tamrin {
namespace {

constexpr std::array<std::string_view, 3> kWindowKeys = {"focusStartMinutes", "accessStartMinutes",
                                                         "activeWeekdays"};

// One entry of "windows": an object with exactly the three window keys, all of them required.
FocusWindow decodeWindow(const nlohmann::json& entry, const std::string& name) {
  requireObject(entry, "\"" + name + "\"");
  for (const auto& [key, value] : entry.items()) {
    if (std::find(kWindowKeys.begin(), kWindowKeys.end(), key) == kWindowKeys.end()) {
      throw JsonError("Invalid JSON: \"" + name + "\" has the unknown key \"" + key + "\".");
    }
  }
  std::array<std::string, 3> labels;
  for (std::size_t i = 0; i < kWindowKeys.size(); ++i) {
    labels[i] = name + "." + std::string(kWindowKeys[i]);
  }
  return FocusWindow{
      .focusStartMinutes = readInt64(requireMember(entry, kWindowKeys[0], labels[0]), labels[0]),
      .accessStartMinutes = readInt64(requireMember(entry, kWindowKeys[1], labels[1]), labels[1]),
      .activeWeekdays = readInt64Array(requireMember(entry, kWindowKeys[2], labels[2]), labels[2]),
  };
}

std::vector<FocusWindow> decodeWindows(const nlohmann::json& json) {
  for (const std::string_view key : kWindowKeys) {
    if (json.contains(key)) throw JsonError(std::string(kBothScheduleFormsMessage));
  }
  const nlohmann::json& list = json.at("windows");
  if (!list.is_array()) throw JsonError(R"(Invalid JSON: "windows" must be an array.)");
  if (list.empty() || list.size() > kMaximumFocusWindows) {
    throw JsonError("Invalid JSON: \"windows\" must hold 1 to " +
                    std::to_string(kMaximumFocusWindows) + " windows.");
  }
  std::vector<FocusWindow> windows;
  for (std::size_t i = 0; i < list.size(); ++i) {
    windows.push_back(decodeWindow(list[i], "windows[" + std::to_string(i) + "]"));
  }
  return windows;
}

std::vector<std::int64_t> sorted(std::vector<std::int64_t> weekdays) {
  std::sort(weekdays.begin(), weekdays.end());
  return weekdays;
}

}  // namespace

ConfigureRequest decodeConfigureRequest(std::string_view bytes) {
  const nlohmann::json json = parseJson(bytes);
  requireObject(json, "the configuration");
  ConfigureRequest request;
  request.domains = readStringArray(requireMember(json, "domains"), "domains");
  if (json.contains("windows")) {
    request.windows = decodeWindows(json);
    return request;
  }
  request.focusStartMinutes =
      readInt64(requireMember(json, "focusStartMinutes"), "focusStartMinutes");
  request.accessStartMinutes =
      readInt64(requireMember(json, "accessStartMinutes"), "accessStartMinutes");
  request.activeWeekdays = readInt64Array(requireMember(json, "activeWeekdays"), "activeWeekdays");
  return request;
}

TamrinConfiguration cleanedConfiguration(const ConfigureRequest& request) {
  std::vector<std::string> domains;
  std::unordered_set<std::string> seen;
  for (const std::string& entry : request.domains) {
    std::optional<std::string> domain = normalizedDomain(entry);
    if (!domain) throw ControlError::invalidConfiguration();
    if (seen.insert(*domain).second) domains.push_back(std::move(*domain));
  }
  TamrinConfiguration configuration;
  configuration.domains = std::move(domains);
  if (request.windows) {
    configuration.windows.emplace();
    for (const FocusWindow& window : *request.windows) {
      configuration.windows->push_back(
          {window.focusStartMinutes, window.accessStartMinutes,
           sorted(window.activeWeekdays.value_or(std::vector<std::int64_t>{}))});
    }
  } else {
    configuration.focusStartMinutes = request.focusStartMinutes;
    configuration.accessStartMinutes = request.accessStartMinutes;
    configuration.activeWeekdays = sorted(request.activeWeekdays);
  }
  requireScheduleThatEnds(configuration);
  if (!configuration.isValid()) throw ControlError::invalidConfiguration();
  return configuration;
}

}  // namespace tamrin
