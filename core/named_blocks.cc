// The schedule rules of a policy with named blocks. Each block is a lane: the definition that
// governs it at an instant (before, during or after a staged change) and its windows. The
// machine is blocked while any lane's windows cover the instant, and the blocked names are the
// union of the covering lanes' domains. A configuration of the first two forms is one lane
// named "", so that a change between the forms is staged like any other.
#include <algorithm>
#include <set>

#include "core/policy.h"
#include "core/tamrin_error.h"
#include "core/window_union.h"

namespace tamrin {
namespace {

// Passes of the event walk before it gives up and reports the instant reached: a later pass
// looks again from there.
constexpr int kMostEvents = 4096;

struct LaneDefinition {
  std::string_view name;
  const TamrinConfiguration* schedule;
};

std::vector<LaneDefinition> laneDefinitions(const TamrinConfiguration& configuration) {
  if (!configuration.blocks) return {{"", &configuration}};
  std::vector<LaneDefinition> lanes;
  lanes.reserve(configuration.blocks->size());
  for (const NamedBlock& block : *configuration.blocks) lanes.push_back({block.name, &block.schedule});
  return lanes;
}

const TamrinConfiguration* definitionNamed(const TamrinConfiguration& configuration,
                                           std::string_view name) {
  for (const LaneDefinition& lane : laneDefinitions(configuration)) {
    if (lane.name == name) return lane.schedule;
  }
  return nullptr;
}

Instant earliestTakeover(const std::vector<BlockStaging>& stagings) {
  Instant earliest = Instant::distantFuture();
  for (const BlockStaging& staging : stagings) {
    earliest = std::min(earliest, staging.appliesAt.value_or(staging.stopsEnforcingAt));
  }
  return earliest;
}

void appendDomains(const TamrinConfiguration& schedule, std::vector<std::string>& domains,
                   std::set<std::string_view>& seen) {
  for (const std::string& domain : schedule.domains) {
    if (seen.insert(domain).second) domains.push_back(domain);
  }
}

}  // namespace

// The lanes of a policy and the walk over their events.
class NamedBlockSchedule {
 public:
  struct Lane {
    std::string_view name;
    const TamrinConfiguration* staged;  // the definition without a staging, or after one
    const BlockStaging* staging;        // absent: `staged` governs throughout
  };

  NamedBlockSchedule(const TamrinPolicy& policy, const Calendar& calendar)
      : policy_(policy), calendar_(calendar) {
    const TamrinConfiguration& source =
        policy.pendingConfiguration ? *policy.pendingConfiguration : policy.configuration;
    for (const LaneDefinition& definition : laneDefinitions(source)) {
      lanes_.push_back({definition.name, definition.schedule, stagingOf(definition.name)});
    }
    for (const BlockStaging& staging : policy.pendingBlocks) {
      if (definitionNamed(source, staging.name) == nullptr) {
        lanes_.push_back({staging.name, nullptr, &staging});
      }
    }
  }

  const std::vector<Lane>& lanes() const { return lanes_; }

  // The definition that governs `lane` at `at`; none between a staging's two instants.
  const TamrinConfiguration* governing(const Lane& lane, Instant at) const {
    if (policy_.pendingBlocks.empty() && !policy_.usesNamedBlocksOwnForm()) {
      return policy_.scheduledConfiguration(at);
    }
    if (lane.staging == nullptr) return lane.staged;
    if (at < lane.staging->stopsEnforcingAt) {
      return lane.staging->previous ? &*lane.staging->previous : nullptr;
    }
    if (lane.staging->appliesAt && !(at < *lane.staging->appliesAt)) return lane.staged;
    return nullptr;
  }

  bool covers(const Lane& lane, Instant at) const {
    const TamrinConfiguration* schedule = governing(lane, at);
    return schedule != nullptr && isCovered(at, *schedule, calendar_);
  }

  std::vector<bool> coverage(Instant at) const {
    const CoverageProbe probe(at, calendar_);
    std::vector<bool> covered(lanes_.size());
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
      const TamrinConfiguration* schedule = governing(lanes_[i], at);
      covered[i] = schedule != nullptr && probe.covers(*schedule);
    }
    return covered;
  }

  // The first instant after `at` at which `lane` starts or stops covering; the distant future
  // when it never does.
  Instant nextLaneChange(const Lane& lane, Instant at) const {
    const bool start = covers(lane, at);
    Instant from = at;
    for (int step = 0; step < kMostEvents; ++step) {
      from = nextEvent(lane, from, start);
      if (from == Instant::distantFuture() || covers(lane, from) != start) return from;
    }
    return from;
  }

  // The first instant after `after` at which `lane`, covering then or not, may start or stop
  // covering.
  Instant nextEvent(const Lane& lane, Instant after, bool covered) const {
    Instant next = Instant::distantFuture();
    if (const TamrinConfiguration* schedule = governing(lane, after)) {
      const auto end = covered ? runningBlockEnd(after, *schedule, calendar_) : std::nullopt;
      next = end ? *end : nextFocusStart(after, *schedule, false, calendar_);
    }
    if (const BlockStaging* staging = lane.staging) {
      if (after < staging->stopsEnforcingAt) next = std::min(next, staging->stopsEnforcingAt);
      if (staging->appliesAt && after < *staging->appliesAt) next = std::min(next, *staging->appliesAt);
    }
    return next;
  }

  // The first event instant after `after` whose coverage `accept` takes, given the lanes'
  // coverage at `after`, theirs at the event and the event; the distant future when none
  // comes.
  template <typename Accept>
  Instant nextInstantWhere(Instant after, Accept accept) const {
    const std::vector<bool> start = coverage(after);
    std::vector<bool> covered = start;
    std::vector<Instant> events(lanes_.size());
    for (std::size_t i = 0; i < lanes_.size(); ++i) events[i] = nextEvent(lanes_[i], after, start[i]);
    for (int step = 0; step < kMostEvents; ++step) {
      const Instant next = events.empty() ? Instant::distantFuture()
                                          : *std::min_element(events.begin(), events.end());
      if (next == Instant::distantFuture()) return next;
      // Only the lanes whose event this is may change: the others keep their coverage.
      const CoverageProbe probe(next, calendar_);
      for (std::size_t i = 0; i < lanes_.size(); ++i) {
        if (events[i] != next) continue;
        const TamrinConfiguration* schedule = governing(lanes_[i], next);
        covered[i] = schedule != nullptr && probe.covers(*schedule);
      }
      if (accept(start, covered, next)) return next;
      for (std::size_t i = 0; i < lanes_.size(); ++i) {
        if (events[i] == next) events[i] = nextEvent(lanes_[i], next, covered[i]);
      }
      if (step + 1 == kMostEvents) return next;
    }
    return Instant::distantFuture();
  }

  std::vector<std::string> domains(const std::vector<bool>& covered, Instant at) const {
    std::vector<std::string> result;
    std::set<std::string_view> seen;
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
      if (covered[i]) appendDomains(*governing(lanes_[i], at), result, seen);
    }
    return result;
  }

  // Whether the blocked names differ between two coverages taken at `first` and `second`.
  bool namesDiffer(const std::vector<bool>& a, Instant first, const std::vector<bool>& b,
                   Instant second) const {
    if (a == b) return false;
    const auto x = domains(a, first);
    const auto y = domains(b, second);
    return std::set<std::string>(x.begin(), x.end()) != std::set<std::string>(y.begin(), y.end());
  }

 private:
  const BlockStaging* stagingOf(std::string_view name) const {
    for (const BlockStaging& staging : policy_.pendingBlocks) {
      if (staging.name == name) return &staging;
    }
    return nullptr;
  }

  const TamrinPolicy& policy_;
  const Calendar& calendar_;
  std::vector<Lane> lanes_;
};

namespace {

bool anyCovered(const std::vector<bool>& covered) {
  return std::find(covered.begin(), covered.end(), true) != covered.end();
}

}  // namespace

bool TamrinPolicy::usesNamedBlocksOwnForm() const {
  return configuration.blocks || (pendingConfiguration && pendingConfiguration->blocks);
}

bool TamrinPolicy::usesNamedBlocks() const {
  return usesNamedBlocksOwnForm() || !pendingBlocks.empty();
}

bool TamrinPolicy::isBlockedByNamedBlocks(Instant at, const Calendar& calendar) const {
  return anyCovered(NamedBlockSchedule(*this, calendar).coverage(at));
}

Instant TamrinPolicy::nextNamedBlocksTransition(Instant after, const Calendar& calendar) const {
  const NamedBlockSchedule schedule(*this, calendar);
  return schedule.nextInstantWhere(
      after, [&](const std::vector<bool>& start, const std::vector<bool>& covered, Instant next) {
        return schedule.namesDiffer(start, after, covered, next);
      });
}

Instant TamrinPolicy::nextNamedBlockStart(Instant after, const Calendar& calendar) const {
  const NamedBlockSchedule schedule(*this, calendar);
  Instant from = after;
  if (anyCovered(schedule.coverage(after))) {
    from = schedule.nextInstantWhere(
        after, [](const std::vector<bool>&, const std::vector<bool>& c, Instant) { return !anyCovered(c); });
    if (from == Instant::distantFuture()) return from;
  }
  return schedule.nextInstantWhere(
      from, [](const std::vector<bool>&, const std::vector<bool>& c, Instant) { return anyCovered(c); });
}

Instant TamrinPolicy::nextNamedAccessStart(Instant after, const Calendar& calendar) const {
  const NamedBlockSchedule schedule(*this, calendar);
  Instant from = after;
  if (!anyCovered(schedule.coverage(after))) {
    from = nextNamedBlockStart(after, calendar);
    if (from == Instant::distantFuture()) return from;
  }
  return schedule.nextInstantWhere(
      from, [](const std::vector<bool>&, const std::vector<bool>& c, Instant) { return !anyCovered(c); });
}

EnforcedSites TamrinPolicy::enforcedSites(Instant at, const Calendar& calendar,
                                          bool everyBlock) const {
  if (!usesNamedBlocks()) return {configuration.domains, resolvedAddresses.value_or(std::vector<std::string>{})};
  const NamedBlockSchedule schedule(*this, calendar);
  EnforcedSites sites;
  bool unnamed = everyBlock;
  if (everyBlock) {
    sites.domains = domainsThatMayGovern();
  } else {
    const std::vector<bool> covered = schedule.coverage(at);
    sites.domains = schedule.domains(covered, at);
    for (std::size_t i = 0; i < covered.size(); ++i) {
      if (covered[i] && schedule.lanes()[i].name.empty()) unnamed = true;
    }
  }
  sites.addresses = addressesOfDomains(sites.domains);
  // Addresses of a configuration of the first two forms, while it still governs.
  if (unnamed && resolvedAddresses) {
    std::set<std::string> addresses(sites.addresses.begin(), sites.addresses.end());
    addresses.insert(resolvedAddresses->begin(), resolvedAddresses->end());
    sites.addresses.assign(addresses.begin(), addresses.end());
  }
  return sites;
}

const std::vector<std::string>& TamrinPolicy::addressesOfDomain(const std::string& domain) const {
  static const std::vector<std::string> none;
  const auto found = addressesByDomain.find(domain);
  return found == addressesByDomain.end() ? none : found->second;
}

std::vector<std::string> TamrinPolicy::addressesOfDomains(
    const std::vector<std::string>& domains) const {
  std::set<std::string> addresses;
  for (const std::string& domain : domains) {
    const std::vector<std::string>& own = addressesOfDomain(domain);
    addresses.insert(own.begin(), own.end());
  }
  return {addresses.begin(), addresses.end()};
}

std::vector<std::string> TamrinPolicy::domainsThatMayGovern() const {
  std::vector<std::string> domains;
  std::set<std::string_view> seen;
  const auto add = [&](const TamrinConfiguration& configuration) {
    for (const LaneDefinition& lane : laneDefinitions(configuration)) {
      appendDomains(*lane.schedule, domains, seen);
    }
  };
  add(pendingConfiguration ? *pendingConfiguration : configuration);
  for (const BlockStaging& staging : pendingBlocks) {
    if (staging.previous) add(*staging.previous);
  }
  return domains;
}

std::vector<BlockState> TamrinPolicy::blockStates(Instant at, const Calendar& calendar) const {
  if (!usesNamedBlocksOwnForm()) return {};
  const NamedBlockSchedule schedule(*this, calendar);
  std::vector<BlockState> states;
  for (const NamedBlockSchedule::Lane& lane : schedule.lanes()) {
    if (lane.name.empty()) continue;
    BlockState state{.name = std::string(lane.name), .blocked = schedule.covers(lane, at)};
    if (lane.staged == nullptr && !state.blocked) continue;  // removed, and over
    state.nextTransition = schedule.nextLaneChange(lane, at);
    if (lane.staging) state.pendingChangesApplyAt = lane.staging->appliesAt;
    states.push_back(std::move(state));
  }
  return states;
}

void TamrinPolicy::stageNamedBlocks(const TamrinConfiguration& next, Instant at,
                                    const Calendar& calendar, std::optional<Instant> heldUntil) {
  const NamedBlockSchedule before(*this, calendar);
  std::vector<BlockStaging> stagings;
  std::set<std::string_view> named;
  const auto stage = [&](std::string_view name, const TamrinConfiguration* governing,
                         const TamrinConfiguration* wanted) {
    if (governing == wanted || (governing && wanted && *governing == *wanted)) return;
    Instant stops = at;
    if (governing) {
      if (const auto end = runningBlockEnd(at, *governing, calendar)) stops = *end;
      if (heldUntil && *heldUntil > stops) stops = *heldUntil;
    }
    std::optional<Instant> applies;
    if (wanted) applies = nextFocusStart(stops, *wanted, true, calendar);
    stagings.push_back({.name = std::string(name),
                        .previous = governing ? std::optional(*governing) : std::nullopt,
                        .stopsEnforcingAt = stops,
                        .appliesAt = applies});
  };
  const auto governingNamed = [&](std::string_view name) -> const TamrinConfiguration* {
    for (const NamedBlockSchedule::Lane& lane : before.lanes()) {
      if (lane.name == name) return before.governing(lane, at);
    }
    return nullptr;
  };
  for (const LaneDefinition& lane : laneDefinitions(next)) {
    named.insert(lane.name);
    stage(lane.name, governingNamed(lane.name), lane.schedule);
  }
  for (const NamedBlockSchedule::Lane& lane : before.lanes()) {
    if (!named.contains(lane.name)) stage(lane.name, before.governing(lane, at), nullptr);
  }
  pendingConfigurationStopsEnforcingAt.reset();
  pendingResolvedAddresses.reset();
  if (stagings.empty()) {
    configuration = next;
    pendingConfiguration.reset();
    pendingConfigurationAppliesAt.reset();
    pendingBlocks.clear();
    return;
  }
  pendingConfiguration = next;
  pendingConfigurationAppliesAt = earliestTakeover(stagings);
  pendingBlocks = std::move(stagings);
}

bool TamrinPolicy::applyNamedBlocksIfNeeded(Instant at) {
  const std::size_t before = pendingBlocks.size();
  std::erase_if(pendingBlocks, [&](const BlockStaging& staging) {
    if (at < staging.appliesAt.value_or(staging.stopsEnforcingAt)) return false;
    // The one list of addresses belongs to the unnamed block: it goes with a definition of
    // other sites.
    const bool sameSites = staging.previous && staging.appliesAt && pendingConfiguration &&
                           !pendingConfiguration->blocks &&
                           staging.previous->domains == pendingConfiguration->domains;
    if (staging.name.empty() && !sameSites) resolvedAddresses.reset();
    return true;
  });
  if (pendingBlocks.size() == before) return false;
  if (pendingBlocks.empty() && pendingConfiguration) {
    configuration = std::move(*pendingConfiguration);
    pendingConfiguration.reset();
    pendingConfigurationAppliesAt.reset();
    if (!configuration.blocks) {  // back to the first two forms: one list of addresses again
      std::vector<std::string> own = addressesOfDomains(configuration.domains);
      std::set<std::string> addresses(own.begin(), own.end());
      if (resolvedAddresses) addresses.insert(resolvedAddresses->begin(), resolvedAddresses->end());
      if (!addresses.empty()) resolvedAddresses.emplace(addresses.begin(), addresses.end());
      addressesByDomain.clear();
      return true;
    }
    resolvedAddresses.reset();
  } else {
    pendingConfigurationAppliesAt = earliestTakeover(pendingBlocks);
  }
  const std::vector<std::string> governing = domainsThatMayGovern();
  const std::set<std::string_view> kept(governing.begin(), governing.end());
  std::erase_if(addressesByDomain, [&](const auto& entry) { return !kept.contains(entry.first); });
  return true;
}

}  // namespace tamrin
