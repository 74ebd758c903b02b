#pragma once

#include <memory>
#include <optional>

#include "core/calendar.h"
#include "core/configuration.h"
#include "core/instant.h"

namespace tamrin {

// The block rules of one configuration: the union of its windows. Windows that overlap or touch
// (one's access instant is another's focus instant) form one running block. Each window keeps
// the local-calendar rules of a single window: an instant lies in it by its minute of the local
// day, its focus instant is the first occurrence of the focus time on the day it opens (the
// first instant after a gap for a skipped one), and its end is the first occurrence of the
// access time after the instant asked about.
//
// A running block that goes on for more than eight days covers every minute of the week and
// never ends: its end is the distant future.

// Whether some window of `configuration` contains `at`.
bool isCovered(Instant at, const TamrinConfiguration& configuration, const Calendar& calendar);

class Moment;

// isCovered for many configurations at one instant: the instant's local day and minute are
// read once. `calendar` must outlive it.
class CoverageProbe {
 public:
  CoverageProbe(Instant at, const Calendar& calendar);
  ~CoverageProbe();
  CoverageProbe(const CoverageProbe&) = delete;
  CoverageProbe& operator=(const CoverageProbe&) = delete;

  bool covers(const TamrinConfiguration& configuration) const;

 private:
  std::unique_ptr<Moment> moment_;
};

// The start of the running block containing `at`: the earliest focus instant of the chain of
// windows that runs through `at`. Absent when no window contains `at`.
std::optional<Instant> runningBlockStart(Instant at, const TamrinConfiguration& configuration,
                                         const Calendar& calendar);

// The end of the running block containing `at`, strictly after `at`: the latest access instant
// of the chain. Absent when no window contains `at`.
std::optional<Instant> runningBlockEnd(Instant at, const TamrinConfiguration& configuration,
                                       const Calendar& calendar);

// The first focus instant of any window strictly after `after` (or at it, when `including`),
// searching the day of `after` and the seven days after it; the distant future when no window
// opens on any of them.
Instant nextFocusStart(Instant after, const TamrinConfiguration& configuration, bool including,
                       const Calendar& calendar);

// The end of a block that opens at `opening`: the running block's end when a window contains
// `opening`, else the first window's access instant that follows it.
Instant blockEndFrom(Instant opening, const TamrinConfiguration& configuration,
                     const Calendar& calendar);

}  // namespace tamrin
