#include "core/schedule_editing.h"

#include <algorithm>
#include <cmath>

namespace tamrin::ScheduleEditing {
namespace {

constexpr std::int64_t kDay = 1440;
constexpr std::int64_t kShortestSpan = stepMinutes;
constexpr std::int64_t kLongestSpan = kDay - stepMinutes;

std::int64_t wrap(std::int64_t minutes) { return ((minutes % kDay) + kDay) % kDay; }

// The nearest multiple of the step, halves away from zero.
std::int64_t snap(std::int64_t minutes) {
  return static_cast<std::int64_t>(std::round(static_cast<double>(minutes) / stepMinutes)) *
         stepMinutes;
}

struct Inputs {
  std::int64_t start, end, by;
};

Inputs prepared(std::int64_t start, std::int64_t end, std::int64_t by, bool snapping) {
  if (!snapping) return {start, end, by};
  return {snap(start), snap(end), snap(by)};
}

std::int64_t clampedSpan(std::int64_t span) {
  return std::min(std::max(span, kShortestSpan), kLongestSpan);
}

}  // namespace

Period move(std::int64_t start, std::int64_t end, std::int64_t by, bool snappingToStep) {
  const Inputs in = prepared(start, end, by, snappingToStep);
  return {wrap(in.start + in.by), wrap(in.end + in.by)};
}

Period resizeStart(std::int64_t start, std::int64_t end, std::int64_t by, bool snappingToStep) {
  const Inputs in = prepared(start, end, by, snappingToStep);
  const std::int64_t span = clampedSpan(wrap(in.end - in.start) - in.by);
  return {wrap(in.end - span), in.end};
}

Period resizeEnd(std::int64_t start, std::int64_t end, std::int64_t by, bool snappingToStep) {
  const Inputs in = prepared(start, end, by, snappingToStep);
  const std::int64_t span = clampedSpan(wrap(in.end - in.start) + in.by);
  return {in.start, wrap(in.start + span)};
}

}  // namespace tamrin::ScheduleEditing
