#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/calendar.h"
#include "core/instant.h"
#include "core/policy.h"
#include "daemon/resolve/direct_resolver.h"

namespace tamrin {

// At most this many addresses are taken from one host name's answer.
inline constexpr std::size_t kMaxAddressesPerName = 64;
// The stored list never grows past this many addresses (nor past 64 per blocked host name).
inline constexpr std::size_t kMaxAddressesInAll = 4096;
// Refreshes during a block are this far apart, or as far as the shortest TTL seen, within
// these bounds.
inline constexpr double kLongestRefreshInterval = 300.0;
inline constexpr double kShortestRefreshInterval = 30.0;

// Whether `address` is an IPv4 or IPv6 text the filter may hold: not unspecified, loopback,
// link-local (169.254/16, the cloud metadata range, included), multicast or broadcast (so
// answers of a local stub that reads the hosts file add nothing).
bool isRoutableAddress(std::string_view address);

// The routable ones of `addresses`, in their order.
std::vector<std::string> routableAddresses(const std::vector<std::string>& addresses);

// The distinct routable addresses of `answers`, at most kMaxAddressesPerName per name (the
// first ones of its answer), sorted ascending as text.
std::vector<std::string> usableAddresses(const std::vector<HostAnswer>& answers);

// How many addresses the list for `hostnameCount` blocked host names may hold.
std::size_t addressCap(std::size_t hostnameCount);

// `current` plus the addresses of `fresh` it lacks, taken in ascending order while the list
// holds fewer than `cap`; sorted. Nothing of `current` is ever dropped.
std::vector<std::string> mergedAddresses(const std::vector<std::string>& current,
                                         const std::vector<std::string>& fresh, std::size_t cap);

// The addresses that replace the old list before a block, from the system resolver's result
// (absent when it was not asked or failed) and a direct resolution. Absent, and the old list
// stays, when the direct resolution is incomplete or nothing was found.
std::optional<std::vector<std::string>> freshStartAddresses(
    const std::optional<std::vector<std::string>>& system, const DirectResolution& direct,
    std::size_t cap);

// Seconds until the next refresh: the shortest TTL of `direct` within the bounds above; the
// longest interval without TTLs, the shortest after a resolution that found nothing.
double refreshInterval(const DirectResolution& direct);

// What a reconciliation pass should resolve directly, decided from the policy after the pass.
struct RefreshPlan {
  enum class Kind { grow, freshStart } kind;
  std::vector<std::string> domains;  // of the configuration whose addresses change
  bool pending = false;              // freshStart only: the staged configuration's list
  bool askSystemResolver = false;    // freshStart only, set by the caller: hosts file clean
  bool byDomain = false;             // named blocks: each domain's own list changes
};

// During a block, once `nextRefresh` has come (or none is set): grow the current list. In the
// last pass before a block starts (the block start is at most `lookAhead` seconds away): a
// fresh list for the configuration that will govern it. Otherwise nothing.
std::optional<RefreshPlan> planAddressRefresh(const TamrinPolicy& policy, Instant at,
                                              const Calendar& calendar,
                                              std::optional<Instant> nextRefresh, double lookAhead);

// `policy` with what the resolution learned: a grown list (add-only, capped) or, before a
// block, a fresh one that replaces the old list (grown instead when the fresh one failed). Absent
// when nothing changes, or when the policy no longer fits the plan (other domains, block state
// changed).
std::optional<TamrinPolicy> policyAfterRefresh(
    const TamrinPolicy& policy, const RefreshPlan& plan,
    const std::optional<std::vector<std::string>>& system, const DirectResolution& direct,
    Instant at, const Calendar& calendar);

}  // namespace tamrin
