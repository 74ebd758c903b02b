#pragma once

#include <chrono>
#include <compare>

namespace tamrin {

// An absolute point in time: seconds since 2001-01-01T00:00:00Z as a double. This is the
// form every instant takes in stored and exchanged JSON.
class Instant {
 public:
  // Seconds between 1970-01-01T00:00:00Z and 2001-01-01T00:00:00Z.
  static constexpr double kReferenceOffsetFromUnix = 978307200.0;

  constexpr Instant() = default;
  constexpr explicit Instant(double secondsSinceReference) : seconds_(secondsSinceReference) {}

  static constexpr Instant fromUnixSeconds(double unixSeconds) {
    return Instant(unixSeconds - kReferenceOffsetFromUnix);
  }
  static Instant fromTimePoint(std::chrono::system_clock::time_point point) {
    return fromUnixSeconds(std::chrono::duration<double>(point.time_since_epoch()).count());
  }
  // 4001-01-01T00:00:00Z, the instant that stands for "never".
  static constexpr Instant distantFuture() { return Instant(63113904000.0); }

  constexpr double secondsSinceReference() const { return seconds_; }
  constexpr double unixSeconds() const { return seconds_ + kReferenceOffsetFromUnix; }

  constexpr Instant operator+(double seconds) const { return Instant(seconds_ + seconds); }
  constexpr Instant operator-(double seconds) const { return Instant(seconds_ - seconds); }
  constexpr double operator-(Instant other) const { return seconds_ - other.seconds_; }

  constexpr auto operator<=>(const Instant&) const = default;
  constexpr bool operator==(const Instant&) const = default;

 private:
  double seconds_ = 0;
};

}  // namespace tamrin
