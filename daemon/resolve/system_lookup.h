#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/calendar.h"
#include "core/instant.h"
#include "core/policy.h"

namespace tamrin {

// What the system resolver should look up after a pass, decided under the service's lock and
// resolved without it.
struct SystemLookupPlan {
  std::vector<std::string> domains;  // of the configuration whose addresses are missing
  bool pending = false;              // the staged configuration's list
  bool byDomain = false;             // named blocks: each domain looked up for itself

  bool operator==(const SystemLookupPlan&) const = default;
};

// The list `policy` lacks at `at`: while blocking, the current configuration's when it has no
// addresses; otherwise the staged configuration's when it needs them ahead of its first block,
// or, with nothing staged, the current one's when it has none. The caller asks only while the
// hosts file holds no managed block.
std::optional<SystemLookupPlan> planSystemLookup(const TamrinPolicy& policy, bool blocking,
                                                 Instant at, const Calendar& calendar);

// A policy with named blocks looks up at most this many domains at a time.
inline constexpr std::size_t kMaxDomainsPerLookup = 64;

// With named blocks: the domains that may govern and have no addresses yet, at most
// kMaxDomainsPerLookup of them. Absent when none lacks them.
std::optional<SystemLookupPlan> planDomainLookup(const TamrinPolicy& policy);

// `policy` with the routable ones of each domain's `addresses` (capped per domain) for the
// domains that still lack them. Absent when nothing is learned.
std::optional<TamrinPolicy> policyAfterDomainLookup(
    const TamrinPolicy& policy, const std::map<std::string, std::vector<std::string>>& addresses);

// `policy` with the routable ones of `addresses` (capped as the direct resolver's answers are)
// as the planned list. Absent when none is usable, or when the policy no longer lacks that
// list (other domains, the staged change applied or replaced, addresses found meanwhile).
std::optional<TamrinPolicy> policyAfterSystemLookup(const TamrinPolicy& policy,
                                                    const SystemLookupPlan& plan,
                                                    const std::vector<std::string>& addresses);

}  // namespace tamrin
