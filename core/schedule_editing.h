#pragma once

#include <cstdint>

namespace tamrin::ScheduleEditing {

// The snapping step of every operation, in minutes.
inline constexpr std::int64_t stepMinutes = 15;

// A daily period on the circular day of 1440 minutes, from `start` forward to `end`.
struct Period {
  std::int64_t start;
  std::int64_t end;
  bool operator==(const Period&) const = default;
};

// Both ends shifted by `by`; the span is kept, whatever it is.
Period move(std::int64_t start, std::int64_t end, std::int64_t by, bool snappingToStep);
// The start shifted by `by`, the end kept; the span stays within 15-1425 minutes.
Period resizeStart(std::int64_t start, std::int64_t end, std::int64_t by, bool snappingToStep);
// The end shifted by `by`, the start kept; the span stays within 15-1425 minutes.
Period resizeEnd(std::int64_t start, std::int64_t end, std::int64_t by, bool snappingToStep);

}  // namespace tamrin::ScheduleEditing
