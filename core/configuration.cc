#include "core/configuration.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/json_coding.h"
#include "core/public_suffix.h"
#include "core/unicode_text.h"
#include "core/week_coverage.h"

namespace tamrin {

const TamrinConfiguration& TamrinConfiguration::standard() {
  static const TamrinConfiguration configuration{
      .domains = {"youtube.com"},
      .focusStartMinutes = 240,
      .accessStartMinutes = 1200,
      .activeWeekdays = std::nullopt,
  };
  return configuration;
}

std::set<std::int64_t> TamrinConfiguration::scheduledWeekdays() const {
  std::set<std::int64_t> weekdays;
  for (const FocusWindow& window : windows ? *windows : std::vector{topLevelWindow()}) {
    if (!window.activeWeekdays) return {1, 2, 3, 4, 5, 6, 7};
    weekdays.insert(window.activeWeekdays->begin(), window.activeWeekdays->end());
  }
  return weekdays;
}

bool isValidBlockName(std::string_view name) {
  if (!isValidUtf8(name) || trimWhitespaceAndNewlines(name) != name) return false;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < name.size(); ++characters) {
    const auto lead = static_cast<unsigned char>(name[i]);
    if (lead < 0x20 || lead == 0x7f) return false;
    // U+0080 to U+009F, the C1 controls, are encoded C2 80 to C2 9F.
    if (lead == 0xc2 && static_cast<unsigned char>(name[i + 1]) < 0xa0) return false;
    i += lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
  }
  return characters >= 1 && characters <= kMaximumBlockNameCharacters;
}

std::vector<std::string> TamrinConfiguration::allDomains() const {
  if (!blocks) return domains;
  std::vector<std::string> all;
  std::set<std::string_view> seen;
  for (const NamedBlock& block : *blocks) {
    for (const std::string& domain : block.schedule.domains) {
      if (seen.insert(domain).second) all.push_back(domain);
    }
  }
  return all;
}

namespace {

bool isValidNamedBlocks(const TamrinConfiguration& configuration) {
  const std::vector<NamedBlock>& blocks = *configuration.blocks;
  if (!configuration.domains.empty() || configuration.topLevelWindow() != FocusWindow{} ||
      configuration.windows || blocks.empty() || blocks.size() > kMaximumNamedBlocks) {
    return false;
  }
  std::set<std::string_view> names;
  for (const NamedBlock& block : blocks) {
    if (!isValidBlockName(block.name) || !names.insert(block.name).second ||
        block.schedule.blocks || !block.schedule.isValid()) {
      return false;
    }
  }
  return !blocksEveryMinute(configuration);
}

}  // namespace

bool TamrinConfiguration::isValid() const {
  if (blocks) return isValidNamedBlocks(*this);
  if (domains.empty()) return false;
  for (const auto& domain : domains) {
    const auto normalized = normalizedDomain(domain);
    if (!normalized || *normalized != domain) return false;
  }
  if (!windows) return topLevelWindow().isValid();
  if (topLevelWindow() != FocusWindow{}) return false;
  if (windows->empty() || windows->size() > kMaximumFocusWindows) return false;
  return std::all_of(windows->begin(), windows->end(),
                     [](const FocusWindow& window) { return window.isValid(); }) &&
         !blocksEveryMinute(*this);
}

namespace {

// The host of an absolute RFC 3986 URI, or absent when the text does not parse or has none.
std::optional<std::string> uriHost(std::string_view text) {
  UriUriA uri;
  const char* errorPosition = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPosition) !=
      URI_SUCCESS) {
    return std::nullopt;
  }
  std::optional<std::string> host;
  const bool absolute = uri.scheme.first != nullptr && uri.scheme.afterLast != uri.scheme.first;
  if (absolute && uri.hostText.first != nullptr && uri.hostText.afterLast > uri.hostText.first) {
    host.emplace(uri.hostText.first, uri.hostText.afterLast);
  }
  uriFreeUriMembersA(&uri);
  return host;
}

}  // namespace

std::optional<std::string> normalizedDomain(std::string_view text) {
  const std::string_view trimmed = trimWhitespaceAndNewlines(text);
  std::string url(trimmed);
  if (trimmed.find("://") == std::string_view::npos) url = "https://" + url;
  auto host = uriHost(url);
  // Percent escapes stay out of stored domains: they cannot stand in a hosts file.
  if (!host || host->find('%') != std::string::npos) return std::nullopt;
  // The parser admits ASCII only, so ASCII lowercasing is the full lowercasing here.
  std::transform(host->begin(), host->end(), host->begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  if (host->find('.') == std::string::npos) return std::nullopt;
  if (host->find('*') != std::string::npos) {
    if (!isSuffixRule(*host)) return std::nullopt;
    std::string_view suffix = std::string_view(*host).substr(2);
    if (suffix.ends_with('.')) suffix.remove_suffix(1);
    if (suffix.empty() || suffix.find('*') != std::string_view::npos || suffix.starts_with('.') ||
        PublicSuffixList::system().isPublicSuffix(suffix)) {
      return std::nullopt;
    }
    return host;
  }
  if (host->starts_with("www.")) host->erase(0, 4);
  return host;
}

nlohmann::json configurationToJson(const TamrinConfiguration& configuration) {
  if (configuration.blocks) {
    nlohmann::json blocks = nlohmann::json::array();
    for (const NamedBlock& block : *configuration.blocks) {
      nlohmann::json json = configurationToJson(block.schedule);
      json["name"] = block.name;
      blocks.push_back(std::move(json));
    }
    return {{"blocks", std::move(blocks)}};
  }
  if (configuration.windows) {
    nlohmann::json windows = nlohmann::json::array();
    for (const FocusWindow& window : *configuration.windows) {
      windows.push_back(focusWindowToJson(window));
    }
    return {{"domains", configuration.domains}, {"windows", std::move(windows)}};
  }
  nlohmann::json json = focusWindowToJson(configuration.topLevelWindow());
  json["domains"] = configuration.domains;
  return json;
}

namespace {

TamrinConfiguration namedBlocksFromJson(const nlohmann::json& json) {
  if (json.size() != 1) throw JsonError(std::string(kMixedFormsMessage));
  const nlohmann::json& list = json.at("blocks");
  if (!list.is_array()) throw JsonError(R"(Invalid JSON: "blocks" must be an array.)");
  TamrinConfiguration configuration;
  configuration.blocks.emplace();
  configuration.blocks->reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string label = "blocks[" + std::to_string(i) + "]";
    requireObject(list[i], "\"" + label + "\"");
    if (list[i].contains("blocks")) throw JsonError(std::string(kMixedFormsMessage));
    const nlohmann::json& name = requireMember(list[i], "name", label + ".name");
    if (!name.is_string()) {
      throw JsonError("Invalid JSON: \"" + label + ".name\" must be a string.");
    }
    configuration.blocks->push_back(
        NamedBlock{.name = name.get<std::string>(), .schedule = configurationFromJson(list[i])});
  }
  return configuration;
}

}  // namespace

TamrinConfiguration configurationFromJson(const nlohmann::json& json) {
  requireObject(json, "a configuration");
  if (json.contains("blocks")) return namedBlocksFromJson(json);
  TamrinConfiguration configuration;
  configuration.domains = readStringArray(requireMember(json, "domains"), "domains");
  const auto* windows = optionalMember(json, "windows");
  if (!windows) {
    const FocusWindow window = focusWindowFromJson(json);
    configuration.focusStartMinutes = window.focusStartMinutes;
    configuration.accessStartMinutes = window.accessStartMinutes;
    configuration.activeWeekdays = window.activeWeekdays;
    return configuration;
  }
  for (const char* key : {"focusStartMinutes", "accessStartMinutes", "activeWeekdays"}) {
    if (optionalMember(json, key)) throw JsonError(std::string(kBothScheduleFormsMessage));
  }
  if (!windows->is_array()) throw JsonError(R"(Invalid JSON: "windows" must be an array.)");
  configuration.windows.emplace();
  configuration.windows->reserve(windows->size());
  for (std::size_t i = 0; i < windows->size(); ++i) {
    const std::string name = "windows[" + std::to_string(i) + "]";
    requireObject((*windows)[i], "\"" + name + "\"");
    configuration.windows->push_back(focusWindowFromJson((*windows)[i], name + "."));
  }
  return configuration;
}

std::string encodeConfiguration(const TamrinConfiguration& configuration) {
  return dumpJson(configurationToJson(configuration));
}

TamrinConfiguration decodeConfiguration(std::string_view bytes) {
  return configurationFromJson(parseJson(bytes));
}

}  // namespace tamrin
