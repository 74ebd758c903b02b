#include "core/focus_window.h"

#include <nlohmann/json.hpp>

#include <set>
#include <string>

#include "core/json_coding.h"

namespace tamrin {

bool FocusWindow::isValid() const {
  const auto inDay = [](std::int64_t minutes) { return minutes >= 0 && minutes <= 1439; };
  if (!inDay(focusStartMinutes) || !inDay(accessStartMinutes)) return false;
  if (focusStartMinutes == accessStartMinutes) return false;
  if (!activeWeekdays) return true;
  const std::set<std::int64_t> weekdays(activeWeekdays->begin(), activeWeekdays->end());
  if (weekdays.empty()) return false;
  if (*weekdays.begin() < 1 || *weekdays.rbegin() > 7) return false;
  return weekdays.size() == activeWeekdays->size();
}

nlohmann::json focusWindowToJson(const FocusWindow& window) {
  // Member by member: an initializer list would build each pair as an array first.
  nlohmann::json json = nlohmann::json::object();
  json["focusStartMinutes"] = window.focusStartMinutes;
  json["accessStartMinutes"] = window.accessStartMinutes;
  if (window.activeWeekdays) json["activeWeekdays"] = *window.activeWeekdays;
  return json;
}

FocusWindow focusWindowFromJson(const nlohmann::json& json, std::string_view prefix) {
  const auto name = [&](std::string_view key) { return std::string(prefix) + std::string(key); };
  FocusWindow window;
  window.focusStartMinutes =
      readInt64(requireMember(json, "focusStartMinutes", name("focusStartMinutes")),
                name("focusStartMinutes"));
  window.accessStartMinutes =
      readInt64(requireMember(json, "accessStartMinutes", name("accessStartMinutes")),
                name("accessStartMinutes"));
  if (const auto* weekdays = optionalMember(json, "activeWeekdays")) {
    window.activeWeekdays = readInt64Array(*weekdays, name("activeWeekdays"));
  }
  return window;
}

}  // namespace tamrin
