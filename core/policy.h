#pragma once

#include <nlohmann/json_fwd.hpp>

#include <map>
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

// How one named block passes from its definition before a staged change to the one after:
// the definition it had governs until `stopsEnforcingAt`, nothing governs until `appliesAt`,
// the staged configuration's definition from then on. A block removed by the change has no
// `appliesAt`. The blocks of a configuration of the first two forms are one block named "".
struct BlockStaging {
  std::string name;
  std::optional<TamrinConfiguration> previous = std::nullopt;  // absent: it did not govern
  Instant stopsEnforcingAt;
  std::optional<Instant> appliesAt = std::nullopt;

  bool operator==(const BlockStaging&) const = default;
};

// The sites a pass enforces: the domains and the addresses to block.
struct EnforcedSites {
  std::vector<std::string> domains;
  std::vector<std::string> addresses;
};

// One named block's state for the status.
struct BlockState {
  std::string name;
  bool blocked = false;
  Instant nextTransition = Instant::distantFuture();  // the distant future: none comes
  std::optional<Instant> pendingChangesApplyAt = std::nullopt;
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
  // With named blocks in the current or the staged configuration: how each changed block
  // passes to the staged one (pendingConfigurationAppliesAt is then the earliest moment one
  // does), and the addresses of each domain, resolved once whichever blocks list it.
  std::vector<BlockStaging> pendingBlocks = {};
  std::map<std::string, std::vector<std::string>> addressesByDomain = {};

  explicit TamrinPolicy(TamrinConfiguration current);

  // Whether the current or the staged configuration has named blocks.
  bool usesNamedBlocks() const;
  // What a pass enforces at `at`: without named blocks, the configuration's domains and
  // resolved addresses; with them, the union of the domains of the blocks the schedule runs
  // (of every block that may govern, when `everyBlock`) with the addresses of those domains.
  EnforcedSites enforcedSites(Instant at, const Calendar& calendar, bool everyBlock = false) const;
  // The addresses resolved for `domain` with named blocks; empty when it has none yet.
  const std::vector<std::string>& addressesOfDomain(const std::string& domain) const;
  // The distinct addresses of `domains`, sorted.
  std::vector<std::string> addressesOfDomains(const std::vector<std::string>& domains) const;
  // The domains of every configuration that governs now or may later: the current one's, the
  // staged one's and those of the definitions running blocks keep.
  std::vector<std::string> domainsThatMayGovern() const;
  // Each named block's state at `at`, in the order of the staged configuration (or the
  // current one), then the removed blocks that still run until their end. Empty without
  // named blocks.
  std::vector<BlockState> blockStates(Instant at, const Calendar& calendar) const;

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

  // Schedule rules: pure functions of the policy, the instant and the calendar. With named
  // blocks, a block is any block running, and a transition any change of the blocked names.
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
  friend class NamedBlockSchedule;
  // The rules with named blocks (named_blocks.cc).
  bool usesNamedBlocksOwnForm() const;
  bool isBlockedByNamedBlocks(Instant at, const Calendar& calendar) const;
  Instant nextNamedBlocksTransition(Instant after, const Calendar& calendar) const;
  Instant nextNamedBlockStart(Instant after, const Calendar& calendar) const;
  Instant nextNamedAccessStart(Instant after, const Calendar& calendar) const;
  void stageNamedBlocks(const TamrinConfiguration& next, Instant at, const Calendar& calendar,
                        std::optional<Instant> heldUntil);
  bool applyNamedBlocksIfNeeded(Instant at);
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
