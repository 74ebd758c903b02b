#include "core/window_union.h"

#include <memory>
#include <span>

namespace tamrin {
namespace {

// Eight days of unbroken blocking: longer than any block that ever ends.
constexpr double kLongestBlockSeconds = 8 * 86400.0;
// The most a zone's clock moves at once in a day, in minutes, with room to spare (daylight
// saving moves it by two hours at most).
constexpr std::int64_t kUnsureMinutes = 180;

// The windows of a configuration: `windows`, or the one window of the top-level fields.
class Windows {
 public:
  explicit Windows(const TamrinConfiguration& configuration) {
    if (configuration.windows) {
      list_ = *configuration.windows;
    } else {
      single_ = configuration.topLevelWindow();
      list_ = std::span(&*single_, 1);
    }
  }
  Windows(const Windows&) = delete;
  Windows& operator=(const Windows&) = delete;

  auto begin() const { return list_.begin(); }
  auto end() const { return list_.end(); }
  bool empty() const { return list_.empty(); }
  const FocusWindow& front() const { return list_.front(); }

 private:
  std::optional<FocusWindow> single_;
  std::span<const FocusWindow> list_;
};

// The instant on the local day starting at `dayStart` at which the clock reads the given minute
// of day (searched from one second before the day, so 00:00 is the day's start itself).
std::optional<Instant> timeOnDayStarting(Instant dayStart, std::int64_t minutes,
                                         const Calendar& calendar) {
  return calendar.nextDate(dayStart - 1.0, static_cast<int>(minutes / 60),
                           static_cast<int>(minutes % 60));
}

// The same on the local day holding `day`.
std::optional<Instant> timeOnDay(Instant day, std::int64_t minutes, const Calendar& calendar) {
  return timeOnDayStarting(calendar.startOfDay(day), minutes, calendar);
}

// The first instant after `after` at which the clock reads the given minute of day.
std::optional<Instant> nextTimeAfter(Instant after, std::int64_t minutes,
                                     const Calendar& calendar) {
  return calendar.nextDate(after, static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
}

// The start of the local day before the one starting at `today`; a day the zone skipped
// entirely is passed over.
std::optional<Instant> previousDay(Instant today, const Calendar& calendar) {
  for (int days = 1; days <= 2; ++days) {
    const auto day = calendar.dateByAddingDays(-days, today);
    if (day && *day < today) return calendar.startOfDay(*day);
  }
  return std::nullopt;
}

}  // namespace

// What the window rules need to know about one instant, found once for all windows.
class Moment {
 public:
  Moment(Instant at, const Calendar& calendar)
      : calendar_(calendar),
        today_(calendar.startOfDay(at)),
        weekday_(calendar.weekday(today_)),
        minute_(minuteOfDay(at, calendar)) {}

  // The start of the local day on which the window of `window` that contains this instant
  // opened, judged by the minute of day; absent when no window of it does.
  std::optional<Instant> openingDay(const FocusWindow& window) const {
    const auto focus = window.focusStartMinutes;
    const auto access = window.accessStartMinutes;
    const bool todayActive = window.opensOn(weekday_);
    if (!window.isOvernight()) {
      if (todayActive && focus <= minute_ && minute_ < access) return today_;
      return std::nullopt;
    }
    if (todayActive && minute_ >= focus) return today_;
    if (minute_ >= access) return std::nullopt;
    // The early-morning part of a window that opened the day before.
    if (!yesterday_) {
      yesterday_.emplace(previousDay(today_, calendar_));
      if (*yesterday_) yesterdayWeekday_ = calendar_.weekday(**yesterday_);
    }
    if (!*yesterday_ || !window.opensOn(yesterdayWeekday_)) return std::nullopt;
    return **yesterday_;
  }

  // The focus instant of the window of `window` that contains this instant, if any.
  std::optional<Instant> windowStart(const FocusWindow& window) const {
    const auto day = openingDay(window);
    if (!day) return std::nullopt;
    return timeOnDayStarting(*day, window.focusStartMinutes, calendar_);
  }

 private:
  static int minuteOfDay(Instant t, const Calendar& calendar) {
    const auto time = calendar.hourAndMinute(t);
    return time.hour * 60 + time.minute;
  }

  const Calendar& calendar_;
  const Instant today_;
  const int weekday_;
  const int minute_;
  mutable std::optional<std::optional<Instant>> yesterday_;
  mutable int yesterdayWeekday_ = 0;
};

namespace {

// The access instant that closes a window opened at `blockStart`, strictly after `after` (at
// or after `blockStart`): in a repeated hour the first occurrence of the access time may
// already lie behind, and then its next occurrence closes the window.
Instant accessAfterBlockStart(Instant blockStart, Instant after, const FocusWindow& window,
                              const Calendar& calendar) {
  const int days = window.isOvernight() ? 1 : 0;
  const auto day = calendar.dateByAddingDays(days, blockStart);
  if (!day) return Instant::distantFuture();
  const auto access = timeOnDay(*day, window.accessStartMinutes, calendar);
  if (!access) return Instant::distantFuture();
  if (*access > after) return *access;
  return nextTimeAfter(after, window.accessStartMinutes, calendar)
      .value_or(Instant::distantFuture());
}

// The focus instant of the local day starting at `dayStart` that lies after `after` (or at it,
// when `including`): the first occurrence of the focus time, or else, in a repeated hour, its
// second occurrence on that same day.
std::optional<Instant> focusOnDayAfter(Instant dayStart, Instant after, bool including,
                                       const FocusWindow& window, const Calendar& calendar) {
  const auto focus = window.focusStartMinutes;
  const auto first = timeOnDayStarting(dayStart, focus, calendar);
  if (!first) return std::nullopt;
  if (*first > after || (including && *first == after)) return first;
  if (including) {
    if (const auto at = nextTimeAfter(after - 1.0, focus, calendar); at && *at == after) return at;
  }
  const auto later = nextTimeAfter(after, focus, calendar);
  if (later && calendar.startOfDay(*later) == dayStart) return later;
  return std::nullopt;
}

// The latest end, after `at`, of the windows that contain `at`.
std::optional<Instant> latestEndAt(Instant at, const Windows& windows, const Calendar& calendar) {
  const Moment moment(at, calendar);
  std::optional<Instant> latest;
  for (const FocusWindow& window : windows) {
    if (const auto start = moment.windowStart(window)) {
      const Instant end = accessAfterBlockStart(*start, at, window, calendar);
      if (!latest || end > *latest) latest = end;
    }
  }
  return latest;
}

// The earliest focus instant of the windows that contain `at`.
std::optional<Instant> earliestStartAt(Instant at, const Windows& windows,
                                       const Calendar& calendar) {
  const Moment moment(at, calendar);
  std::optional<Instant> earliest;
  for (const FocusWindow& window : windows) {
    if (const auto start = moment.windowStart(window); start && (!earliest || *start < *earliest)) {
      earliest = start;
    }
  }
  return earliest;
}

// Whether the local day starting at `dayStart` is 24 hours long and its clock reads noon 12
// hours and 23:59 a minute before its end: no change of the clock falls in it.
bool isPlainDay(Instant dayStart, const Calendar& calendar) {
  const Instant nextStart = dayStart + 86400.0;
  if (calendar.startOfDay(nextStart) != nextStart) return false;
  const auto noon = calendar.hourAndMinute(dayStart + 43200.0);
  const auto lastMinute = calendar.hourAndMinute(nextStart - 60.0);
  return noon.hour == 12 && noon.minute == 0 && lastMinute.hour == 23 && lastMinute.minute == 59;
}

}  // namespace

CoverageProbe::CoverageProbe(Instant at, const Calendar& calendar)
    : moment_(std::make_unique<Moment>(at, calendar)) {}

CoverageProbe::~CoverageProbe() = default;

bool CoverageProbe::covers(const TamrinConfiguration& configuration) const {
  const Windows windows(configuration);
  // A window whose opening day is known contains the instant (its focus time always occurs on
  // that day, if need be as the first instant after a skipped hour).
  for (const FocusWindow& window : windows) {
    if (moment_->openingDay(window)) return true;
  }
  return false;
}

bool isCovered(Instant at, const TamrinConfiguration& configuration, const Calendar& calendar) {
  return CoverageProbe(at, calendar).covers(configuration);
}

std::optional<Instant> runningBlockStart(Instant at, const TamrinConfiguration& configuration,
                                         const Calendar& calendar) {
  const Windows windows(configuration);
  auto start = earliestStartAt(at, windows, calendar);
  if (!start) return std::nullopt;
  // A window running just before the start (ending at it or later) extends the block back.
  while (at - *start <= kLongestBlockSeconds) {
    const auto earlier = earliestStartAt(*start - 1.0, windows, calendar);
    if (!earlier || *earlier >= *start) break;
    start = earlier;
  }
  return start;
}

std::optional<Instant> runningBlockEnd(Instant at, const TamrinConfiguration& configuration,
                                       const Calendar& calendar) {
  const Windows windows(configuration);
  auto end = latestEndAt(at, windows, calendar);
  if (!end) return std::nullopt;
  // A window running at the end (opening at it or earlier) extends the block; every end found
  // lies strictly after the instant it was asked for, so the loop moves forward.
  while (const auto later = latestEndAt(*end, windows, calendar)) {
    if (*later - at > kLongestBlockSeconds) return Instant::distantFuture();
    end = later;
  }
  return end;
}

Instant nextFocusStart(Instant after, const TamrinConfiguration& configuration, bool including,
                       const Calendar& calendar) {
  const Windows windows(configuration);
  const Instant firstDay = calendar.startOfDay(after);
  // Eight days, today included: the eighth has today's weekday again. A skipped local day
  // makes two additions land on the same day; that one counts once. Focus instants of an
  // earlier day come before those of a later one, so the first day with any ends the search.
  //
  // On one day the first occurrence of a minute of day never comes before that of an earlier
  // minute, so only the earliest minute among the windows that certainly open after `after`
  // needs its instant; those within kUnsureMinutes of the minute of `after` (where a repeated
  // or skipped hour may reorder them) are each looked at, and those further before cannot
  // come after it.
  std::optional<std::int64_t> afterMinute;  // read only when a day needs it
  std::optional<Instant> previous;
  for (int k = 0, probes = 0; probes < 8 && k <= 8; ++k) {
    const auto day = calendar.dateByAddingDays(k, firstDay);
    if (!day) continue;
    const Instant dayStart = calendar.startOfDay(*day);
    if (dayStart == previous) continue;
    previous = dayStart;
    ++probes;
    const int weekday = calendar.weekday(dayStart);
    const bool firstDayOfSearch = dayStart == firstDay;
    // On a day without a change of the clock each minute of day occurs once, that many
    // minutes after the day's start.
    if (isPlainDay(dayStart, calendar)) {
      std::optional<Instant> earliest;
      for (const FocusWindow& window : windows) {
        if (!window.opensOn(weekday)) continue;
        const Instant start = dayStart + 60.0 * static_cast<double>(window.focusStartMinutes);
        if ((start > after || (including && start == after)) && (!earliest || start < *earliest)) {
          earliest = start;
        }
      }
      if (earliest) return *earliest;
      continue;
    }
    if (firstDayOfSearch && !afterMinute) {
      const auto time = calendar.hourAndMinute(after);
      afterMinute = time.hour * 60 + time.minute;
    }
    std::optional<Instant> earliest;
    const FocusWindow* earliestSure = nullptr;
    for (const FocusWindow& window : windows) {
      if (!window.opensOn(weekday)) continue;
      const std::int64_t focus = window.focusStartMinutes;
      if (firstDayOfSearch && focus <= *afterMinute + kUnsureMinutes) {
        if (focus < *afterMinute - kUnsureMinutes) continue;
        const auto start = focusOnDayAfter(dayStart, after, including, window, calendar);
        if (start && (!earliest || *start < *earliest)) earliest = start;
      } else if (!earliestSure || focus < earliestSure->focusStartMinutes) {
        earliestSure = &window;
      }
    }
    if (earliestSure) {
      const auto start = focusOnDayAfter(dayStart, after, including, *earliestSure, calendar);
      if (start && (!earliest || *start < *earliest)) earliest = start;
    }
    if (earliest) return *earliest;
  }
  return Instant::distantFuture();
}

Instant blockEndFrom(Instant opening, const TamrinConfiguration& configuration,
                     const Calendar& calendar) {
  if (const auto end = runningBlockEnd(opening, configuration, calendar)) return *end;
  const Windows windows(configuration);
  if (windows.empty()) return Instant::distantFuture();
  return accessAfterBlockStart(opening, opening, windows.front(), calendar);
}

}  // namespace tamrin
