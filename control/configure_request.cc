#include "control/configure_request.h"

#include <algorithm>
#include <array>
#include <set>
#include <unordered_set>

#include "control/control_error.h"
#include "core/json_coding.h"
#include "core/unicode_text.h"
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

ConfigureRequest decodeRequest(const nlohmann::json& json);

std::vector<NamedBlockRequest> decodeBlocks(const nlohmann::json& json) {
  for (const char* key : {"domains", "windows", "focusStartMinutes", "accessStartMinutes",
                          "activeWeekdays"}) {
    if (json.contains(key)) throw JsonError(std::string(kMixedFormsMessage));
  }
  const nlohmann::json& list = json.at("blocks");
  if (!list.is_array() || list.empty() || list.size() > kMaximumNamedBlocks) {
    throw JsonError("Invalid JSON: \"blocks\" must be a list of 1 to " +
                    std::to_string(kMaximumNamedBlocks) + " blocks.");
  }
  std::vector<NamedBlockRequest> blocks;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string label = "blocks[" + std::to_string(i) + "]";
    requireObject(list[i], "\"" + label + "\"");
    if (list[i].contains("blocks")) throw JsonError(std::string(kMixedFormsMessage));
    const nlohmann::json& name = requireMember(list[i], "name", label + ".name");
    if (!name.is_string()) throw JsonError("Invalid JSON: \"" + label + ".name\" must be a string.");
    blocks.push_back({name.get<std::string>(), decodeRequest(list[i])});
  }
  return blocks;
}

ConfigureRequest decodeRequest(const nlohmann::json& json) {
  requireObject(json, "the configuration");
  ConfigureRequest request;
  if (json.contains("blocks")) {
    request.blocks.emplace() = decodeBlocks(json);
    return request;
  }
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

// One configuration of the first two forms, cleaned, not yet checked.
TamrinConfiguration cleanedSchedule(const ConfigureRequest& request) {
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
  return configuration;
}

TamrinConfiguration cleanedBlocks(const std::vector<NamedBlockRequest>& requests) {
  TamrinConfiguration configuration;
  configuration.blocks.emplace();
  std::set<std::string> names;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    std::string name(trimWhitespaceAndNewlines(requests[i].name));
    if (!isValidBlockName(name)) {
      throw JsonError("Invalid JSON: \"blocks[" + std::to_string(i) + "].name\" must be 1 to " +
                      std::to_string(kMaximumBlockNameCharacters) +
                      " characters without control characters.");
    }
    if (!names.insert(name).second) {
      throw JsonError("Invalid JSON: two blocks are named \"" + name + "\".");
    }
    TamrinConfiguration schedule = cleanedSchedule(requests[i].schedule);
    requireScheduleThatEnds(schedule);
    if (!schedule.isValid()) throw ControlError::invalidConfiguration();
    configuration.blocks->push_back({std::move(name), std::move(schedule)});
  }
  return configuration;
}

}  // namespace

ConfigureRequest decodeConfigureRequest(std::string_view bytes) {
  return decodeRequest(parseJson(bytes));
}

TamrinConfiguration cleanedConfiguration(const ConfigureRequest& request) {
  TamrinConfiguration configuration =
      request.blocks ? cleanedBlocks(*request.blocks) : cleanedSchedule(request);
  requireScheduleThatEnds(configuration);
  if (!configuration.isValid()) throw ControlError::invalidConfiguration();
  return configuration;
}

}  // namespace tamrin
