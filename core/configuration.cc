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

bool TamrinConfiguration::isValid() const {
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

TamrinConfiguration configurationFromJson(const nlohmann::json& json) {
  requireObject(json, "a configuration");
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
