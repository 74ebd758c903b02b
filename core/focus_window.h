#pragma once

#include <nlohmann/json_fwd.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tamrin {

// One weekly block window: it opens at the focus start (a minute of the local day) on each of
// its weekdays (1 = Sunday ... 7 = Saturday; absent means every day) and closes at the access
// start, on the next day when the access start is not later than the focus start.
struct FocusWindow {
  std::int64_t focusStartMinutes = 0;
  std::int64_t accessStartMinutes = 0;
  std::optional<std::vector<std::int64_t>> activeWeekdays = std::nullopt;

  // Minutes in 0-1439 and different, at least one weekday, all in 1-7, none repeated.
  bool isValid() const;
  // Focus start not before access start: the window runs across midnight.
  bool isOvernight() const { return focusStartMinutes >= accessStartMinutes; }
  // Whether a window opens on `weekday`; needs no allocation, unlike a set of weekdays.
  bool opensOn(std::int64_t weekday) const {
    return !activeWeekdays || std::find(activeWeekdays->begin(), activeWeekdays->end(), weekday) !=
                                  activeWeekdays->end();
  }

  bool operator==(const FocusWindow&) const = default;
};

// The three keys of a window; "activeWeekdays" only when present.
nlohmann::json focusWindowToJson(const FocusWindow& window);
// Reads the three keys of `json` ("activeWeekdays" optional, null read as absent). Throws
// JsonError for a missing minute key or a value of the wrong type, naming the key after
// `prefix` (e.g. "windows[2]."). Ignores other keys and does not validate.
FocusWindow focusWindowFromJson(const nlohmann::json& json, std::string_view prefix = "");

}  // namespace tamrin
