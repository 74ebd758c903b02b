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

// Marks the minutes that the windows of `configuration` block; false when one is invalid.
bool markConfiguration(const TamrinConfiguration& configuration,
                       std::bitset<kMinutesPerWeek>& blocked) {
  if (configuration.blocks) {
    for (const NamedBlock& block : *configuration.blocks) {
      if (!markConfiguration(block.schedule, blocked)) return false;
    }
    return true;
  }
  const std::vector<FocusWindow> windows =
      configuration.windows ? *configuration.windows : std::vector{configuration.topLevelWindow()};
  for (const FocusWindow& window : windows) {
    if (!window.isValid()) return false;
    markWindow(window, blocked);
  }
  return true;
}

}  // namespace

bool blocksEveryMinute(const TamrinConfiguration& configuration) {
  std::bitset<kMinutesPerWeek> blocked;
  return markConfiguration(configuration, blocked) && blocked.all();
}

void requireScheduleThatEnds(const TamrinConfiguration& configuration) {
  if (blocksEveryMinute(configuration)) throw EndlessScheduleError();
}

}  // namespace tamrin
