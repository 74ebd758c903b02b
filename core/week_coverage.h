#pragma once

#include <stdexcept>

#include "core/configuration.h"

namespace tamrin {

// The one line with which a schedule that never ends is refused.
inline constexpr const char* kEndlessScheduleMessage =
    "The windows block every minute of the week, so a block would never end; Tamrin needs at "
    "least one free minute.";

// A schedule whose windows leave no free minute in the week. what() is
// kEndlessScheduleMessage.
class EndlessScheduleError : public std::runtime_error {
 public:
  EndlessScheduleError() : std::runtime_error(kEndlessScheduleMessage) {}
};

// Whether the windows of `configuration`, each valid, together block every minute of the week,
// counted in the configuration's own terms (minutes of the local week, before any time zone).
// The windows of all named blocks count together: while any block runs, the machine is
// protected and removal is refused. False when some window is invalid: such a configuration is refused for that reason.
bool blocksEveryMinute(const TamrinConfiguration& configuration);

// Throws EndlessScheduleError when blocksEveryMinute(configuration).
void requireScheduleThatEnds(const TamrinConfiguration& configuration);

}  // namespace tamrin
