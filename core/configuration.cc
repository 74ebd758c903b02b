#include "core/configuration.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/json_coding.h"
#include "core/public_suffix.h"
#include "core/unicode_text.h"

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
  if (!activeWeekdays) return {1, 2, 3, 4, 5, 6, 7};
  return {activeWeekdays->begin(), activeWeekdays->end()};
}

bool TamrinConfiguration::isValid() const {
  if (domains.empty()) return false;
  for (const auto& domain : domains) {
    const auto normalized = normalizedDomain(domain);
    if (!normalized || *normalized != domain) return false;
  }
  const auto inDay = [](std::int64_t minutes) { return minutes >= 0 && minutes <= 1439; };
  if (!inDay(focusStartMinutes) || !inDay(accessStartMinutes)) return false;
  if (focusStartMinutes == accessStartMinutes) return false;
  const auto weekdays = scheduledWeekdays();
  if (weekdays.empty()) return false;
  if (*weekdays.begin() < 1 || *weekdays.rbegin() > 7) return false;
  if (activeWeekdays && weekdays.size() != activeWeekdays->size()) return false;
  return true;
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
  nlohmann::json json = {
      {"domains", configuration.domains},
      {"focusStartMinutes", configuration.focusStartMinutes},
      {"accessStartMinutes", configuration.accessStartMinutes},
  };
  if (configuration.activeWeekdays) json["activeWeekdays"] = *configuration.activeWeekdays;
  return json;
}

TamrinConfiguration configurationFromJson(const nlohmann::json& json) {
  requireObject(json, "a configuration");
  TamrinConfiguration configuration;
  configuration.domains = readStringArray(requireMember(json, "domains"), "domains");
  configuration.focusStartMinutes =
      readInt64(requireMember(json, "focusStartMinutes"), "focusStartMinutes");
  configuration.accessStartMinutes =
      readInt64(requireMember(json, "accessStartMinutes"), "accessStartMinutes");
  if (const auto* weekdays = optionalMember(json, "activeWeekdays")) {
    configuration.activeWeekdays = readInt64Array(*weekdays, "activeWeekdays");
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
