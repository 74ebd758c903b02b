#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/calendar.h"
#include "core/configuration.h"
#include "core/daemon_status.h"
#include "core/instant.h"

namespace tamrin {

// What `status` and `configure` print: the state word, whether protection is fully in place,
// and, with a policy, the configuration of the next block and the next transition.
struct ControlStatus {
  // "attention", "notConfigured", "protected" or "access".
  std::string state;
  bool isProtected = false;
  bool hasProtectionMismatch = false;
  std::optional<TamrinConfiguration> configuration;
  std::optional<Instant> nextTransition;
  // "blocking" or "access"; present exactly when `nextTransition` is.
  std::optional<std::string> nextTransitionKind;
  std::optional<Instant> pendingChangesApplyAt;
  // Why a further protection layer (name service, browser policy) is not in force; printed
  // only when there is such a layer.
  std::map<std::string, std::string> layerProblems = {};
  // With named blocks, each block's own state and next transition.
  struct Block {
    std::string name;
    std::string state;  // "protected" or "access"
    std::optional<Instant> nextTransition;  // absent: none comes
    std::string nextTransitionKind;         // "blocking" or "access"
    std::optional<Instant> pendingChangesApplyAt;

    bool operator==(const Block&) const = default;
  };
  std::optional<std::vector<Block>> blocks = std::nullopt;
  // While names on the wire are read and have refused a flow: how many since the block began.
  std::optional<std::uint64_t> flowsRefusedByName = std::nullopt;

  bool operator==(const ControlStatus&) const = default;
};

// Derives the printed status from the daemon's status at `now` in `calendar`.
ControlStatus makeControlStatus(const DaemonStatus& status, Instant now, const Calendar& calendar);

// One line of compact JSON with sorted keys (no newline); instants as ISO 8601 UTC text.
// Throws JsonError for a text that is not valid UTF-8 and std::out_of_range for an instant
// outside the years 1 to 9999.
std::string encodeControlStatus(const ControlStatus& status);

// `instant` as e.g. "2026-03-02T09:00:00Z": UTC, whole seconds (fractions dropped toward the
// past). Throws std::out_of_range outside the years 1 to 9999.
std::string iso8601Text(Instant instant);

}  // namespace tamrin
