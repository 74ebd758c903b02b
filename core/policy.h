#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/calendar.h"
#include "core/configuration.h"
#include "core/instant.h"

namespace tamrin {

// Where a running block ends on the boot clock of one boot: the daemon's hold on the block
// whatever the wall clock or the zone says later. Not an input of the schedule rules.
struct BlockHold {
  std::string bootId;
  double endsAtBootTime = 0;  // seconds of CLOCK_BOOTTIME
  // The same end as a wall instant, which outlives the boot: absent in files of older daemons.
  std::optional<Instant> endsAt = std::nullopt;
  // The boot clock when the hold was last written: a smaller reading is another boot.
  std::optional<double> recordedAtBootTime = std::nullopt;

  bool operator==(const BlockHold&) const = default;
};

// The daemon's whole persistent state: the current configuration with the addresses its sites
// resolved to, and at most one staged change. From `pendingConfigurationStopsEnforcingAt` (X)
// until `pendingConfigurationAppliesAt` (A) nothing governs; from A on the staged one does.
struct TamrinPolicy {
  TamrinConfiguration configuration;
  std::optional<std::vector<std::string>> resolvedAddresses;
  std::optional<TamrinConfiguration> pendingConfiguration;
  std::optional<std::vector<std::string>> pendingResolvedAddresses;
  std::optional<Instant> pendingConfigurationAppliesAt;
  std::optional<Instant> pendingConfigurationStopsEnforcingAt;
  std::optional<BlockHold> blockHold;

  explicit TamrinPolicy(TamrinConfiguration current) : configuration(std::move(current)) {}

  // The configuration that will govern the next block: the staged one when there is one.
  const TamrinConfiguration& configuredForNextFocus() const;

  // Stages `next` so that it never shortens a running block: it takes over at its first focus
  // start at or after the end of the running block (or `at`, when none runs). Re-sending the
  // configuration that governs `at` cancels a staged change. Throws TamrinError
  // invalidConfiguration for an invalid `next`, leaving the policy unchanged. A block held
  // past its schedule until `heldUntil` counts as running until then.
  void stageConfiguration(const TamrinConfiguration& next, Instant at,
                          std::optional<std::vector<std::string>> addresses,
                          const Calendar& calendar,
                          std::optional<Instant> heldUntil = std::nullopt);
  // Makes a staged configuration whose start has come current. True when it changed anything.
  bool applyPendingConfigurationIfNeeded(Instant at);
  // Whether the staged sites may be resolved now: not during a block of the old configuration.
  bool needsPendingAddressResolution(Instant at, const Calendar& calendar) const;
  // Throws TamrinError focusRemovalLocked while the schedule demands enforcement.
  void validateRemoval(Instant at, const Calendar& calendar) const;

  // Schedule rules: pure functions of the policy, the instant and the calendar.
  bool isBlocked(Instant at, const Calendar& calendar) const;
  bool shouldEnforce(Instant at, const Calendar& calendar) const { return isBlocked(at, calendar); }
  bool isScheduledAccess(Instant at, const Calendar& calendar) const {
    return !isBlocked(at, calendar);
  }
  // The next block start strictly after `after` (after the end of a block running then); the
  // distant future when there is none. Windows that overlap or touch form one block.
  Instant nextScheduledBlockStart(Instant after, const Calendar& calendar) const;
  // The end of the block containing `after`, or else of the next block: the latest access
  // instant of its chain of overlapping or touching windows.
  Instant nextScheduledAccessStart(Instant after, const Calendar& calendar) const;
  // The end of the running block, or the start of the next one.
  Instant nextEnforcementTransition(Instant after, const Calendar& calendar) const;

  bool operator==(const TamrinPolicy&) const = default;

 private:
  friend struct ScheduleProbe;
  const TamrinConfiguration* scheduledConfiguration(Instant at) const;
  // The start of the running block of `configuration` that contains `at`, if any.
  static std::optional<Instant> scheduledBlockStart(Instant at,
                                                    const TamrinConfiguration& configuration,
                                                    const Calendar& calendar);
  // The first focus instant of any window of `configuration` after `after` (or at it).
  static Instant nextScheduledBlockStart(Instant after, const TamrinConfiguration& configuration,
                                         bool includingDate, const Calendar& calendar);
};

nlohmann::json policyToJson(const TamrinPolicy& policy);
// Throws JsonError for a missing configuration, a value of the wrong type or a boot anchor
// that is not a non-empty boot id with a finite, non-negative boot time. Does not validate
// the configurations.
TamrinPolicy policyFromJson(const nlohmann::json& json);

std::string encodePolicy(const TamrinPolicy& policy);
TamrinPolicy decodePolicy(std::string_view bytes);

}  // namespace tamrin
