#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/focus_window.h"

namespace tamrin {

// A configuration holds at most this many windows.
inline constexpr std::size_t kMaximumFocusWindows = 64;

// A configuration holds at most this many named blocks, each named by at most this many
// characters.
inline constexpr std::size_t kMaximumNamedBlocks = 32;
inline constexpr std::size_t kMaximumBlockNameCharacters = 64;

// The decoding error of a configuration that gives "blocks" with a key of the other forms.
inline constexpr std::string_view kMixedFormsMessage =
    "Invalid JSON: a configuration with \"blocks\" has no other key; each block has its own "
    "\"domains\" and schedule.";

// The decoding error of a configuration that gives both schedule forms.
inline constexpr std::string_view kBothScheduleFormsMessage =
    "Invalid JSON: a configuration has either \"windows\" or \"focusStartMinutes\", "
    "\"accessStartMinutes\" and \"activeWeekdays\", never both.";

// The user's blocking schedule: the sites, the minute of the local day at which a block opens
// (focus start) and at which access returns (access start), and the weekdays (1 = Sunday ...
// 7 = Saturday) on which a block opens; absent weekdays mean every day. Instead of that one
// window, `windows` may list several; the three top-level fields then stay at their defaults.
struct NamedBlock;

// An optional list of a type that may still be incomplete where the list is declared (as
// std::optional<std::vector<T>> cannot be): the named blocks of a configuration. Declare
// members with `{}`.
template <typename T>
class OptionalList {
 public:
  // User-provided and noexcept, so that declaring one needs nothing of T yet.
  OptionalList() noexcept {}
  OptionalList(std::nullopt_t) noexcept {}  // NOLINT: converts like std::optional

  explicit operator bool() const { return present_; }
  bool has_value() const { return present_; }
  std::vector<T>& operator*() { return list_; }
  const std::vector<T>& operator*() const { return list_; }
  std::vector<T>* operator->() { return &list_; }
  const std::vector<T>* operator->() const { return &list_; }
  // Makes the list present and empty.
  std::vector<T>& emplace() {
    present_ = true;
    list_.clear();
    return list_;
  }

  bool operator==(const OptionalList& other) const {
    return present_ == other.present_ && list_ == other.list_;
  }

 private:
  bool present_ = false;
  std::vector<T> list_;
};

struct TamrinConfiguration {
  std::vector<std::string> domains;
  std::int64_t focusStartMinutes = 0;
  std::int64_t accessStartMinutes = 0;
  std::optional<std::vector<std::int64_t>> activeWeekdays;
  std::optional<std::vector<FocusWindow>> windows = std::nullopt;
  // Instead of all the above, several named lists of sites, each with its own schedule.
  OptionalList<NamedBlock> blocks{};

  // One well-known video site, 04:00 to 20:00, every day.
  static const TamrinConfiguration& standard();

  // The set of weekdays on which some window opens: all seven for absent weekdays.
  std::set<std::int64_t> scheduledWeekdays() const;
  // Canonical domains (at least one) and a valid top-level window (FocusWindow::isValid), or
  // else 1 to 64 valid `windows` with the top-level fields at their defaults that leave at
  // least one minute of the week free (see blocksEveryMinute). With `blocks`, every other
  // field at its default and 1 to 32 blocks with valid, distinct names (isValidBlockName),
  // each a valid configuration of the other two forms, whose windows together leave a free
  // minute.
  bool isValid() const;
  // Every domain of the configuration, those of all its blocks included, first occurrences
  // only, in order.
  std::vector<std::string> allDomains() const;
  // The one window of the three top-level fields.
  FocusWindow topLevelWindow() const {
    return {focusStartMinutes, accessStartMinutes, activeWeekdays};
  }
  // Focus start not before access start: the top-level window runs across midnight.
  bool isOvernight() const { return focusStartMinutes >= accessStartMinutes; }

  bool operator==(const TamrinConfiguration&) const = default;
};

// A named list of sites with its own schedule: a configuration of the first two forms.
struct NamedBlock {
  std::string name;
  TamrinConfiguration schedule;

  bool operator==(const NamedBlock&) const = default;
};

// 1 to 64 characters, none of them a control character (C0, DEL, C1), without leading or
// trailing white space. The name is UTF-8 and counted in code points.
bool isValidBlockName(std::string_view name);

// The canonical domain for what a user typed: the lowercased host of the text read as a URL
// (with "https://" in front when it has no "://"), without one leading "www.". Absent when the
// text names no host with a dot in it. A host "*." + D is a suffix rule: it is kept whole (no
// "www." removed) and is absent when D holds a "*" or is a public suffix (e.g. "com", "co.uk");
// a "*" anywhere else makes the text absent. Never fails.
std::optional<std::string> normalizedDomain(std::string_view text);

// Whether a normalised domain is a suffix rule: it stands for D and every name under D.
inline bool isSuffixRule(std::string_view domain) { return domain.starts_with("*."); }
// The D of a suffix rule "*." + D, or the domain itself for any other domain.
inline std::string_view ruleDomain(std::string_view domain) {
  return isSuffixRule(domain) ? domain.substr(2) : domain;
}

// The three top-level keys, or "windows" in their place when it is present; with blocks,
// only "blocks", each block its "name" with the keys of its schedule.
nlohmann::json configurationToJson(const TamrinConfiguration& configuration);
// Throws JsonError for a missing required key, a value of the wrong type, "windows" given
// together with a top-level window key (kBothScheduleFormsMessage), or "blocks" given with
// any other key (kMixedFormsMessage) or inside a block. Does not validate.
TamrinConfiguration configurationFromJson(const nlohmann::json& json);

std::string encodeConfiguration(const TamrinConfiguration& configuration);
TamrinConfiguration decodeConfiguration(std::string_view bytes);

}  // namespace tamrin
