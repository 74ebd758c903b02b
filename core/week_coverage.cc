#include "core/week_coverage.h"

#include <bitset>
#include <vector>

namespace tamrin {
namespace {

constexpr std::int64_t kMinutesPerDay = 1440;
constexpr std::int64_t kMinutesPerWeek = 7 * kMinutesPerDay;

// Marks the minutes of the week that the windows of `window` block, weekday 1 (Sunday)
// starting at minute 0; an overnight window running past Saturday goes on into Sunday.
void markWindow(const FocusWindow& window, std::bitset<kMinutesPerWeek>& blocked) {
  const std::int64_t length =
      window.isOvernight() ? kMinutesPerDay - window.focusStartMinutes + window.accessStartMinutes
                           : window.accessStartMinutes - window.focusStartMinutes;
  for (std::int64_t weekday = 1; weekday <= 7; ++weekday) {
    if (!window.opensOn(weekday)) continue;
    const std::int64_t opening = (weekday - 1) * kMinutesPerDay + window.focusStartMinutes;
    for (std::int64_t minute = 0; minute < length; ++minute) {
      blocked.set(static_cast<std::size_t>((opening + minute) % kMinutesPerWeek));
    }
  }
}

}  // namespace

bool blocksEveryMinute(const TamrinConfiguration& configuration) {
  const std::vector<FocusWindow> windows =
      configuration.windows ? *configuration.windows : std::vector{configuration.topLevelWindow()};
  std::bitset<kMinutesPerWeek> blocked;
  for (const FocusWindow& window : windows) {
    if (!window.isValid()) return false;
    markWindow(window, blocked);
  }
  return blocked.all();
}

void requireScheduleThatEnds(const TamrinConfiguration& configuration) {
  if (blocksEveryMinute(configuration)) throw EndlessScheduleError();
}

}  // namespace tamrin
