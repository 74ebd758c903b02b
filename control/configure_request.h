#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/configuration.h"

namespace tamrin {

struct NamedBlockRequest;

// The input of `configure`: "domains" and either the three keys of one window or "windows",
// a list of 1 to 64 objects with exactly those three keys. Other top-level keys are ignored.
// Or else "blocks" alone: 1 to 32 objects, each a "name" with "domains" and a schedule.
struct ConfigureRequest {
  std::vector<std::string> domains;
  std::int64_t focusStartMinutes = 0;
  std::int64_t accessStartMinutes = 0;
  std::vector<std::int64_t> activeWeekdays;
  // Each entry's weekdays are always present.
  std::optional<std::vector<FocusWindow>> windows = std::nullopt;
  OptionalList<NamedBlockRequest> blocks{};

  bool operator==(const ConfigureRequest&) const = default;
};

struct NamedBlockRequest {
  std::string name;
  ConfigureRequest schedule;

  bool operator==(const NamedBlockRequest&) const = default;
};

// Throws JsonError for text that is not one JSON object, a missing key, a null or a value of
// the wrong type, both schedule forms at once, a "windows" that is not a list of 1 to 64
// objects, an entry with a key it does not know, "blocks" with a key of the other forms
// beside it or inside a block, or a "blocks" that is not a list of 1 to 32 objects.
ConfigureRequest decodeConfigureRequest(std::string_view bytes);

// The configuration to send: domains normalised and de-duplicated in order of first
// appearance, weekdays sorted ascending (repeats kept), windows in the order given. Throws
// ControlError invalidConfiguration for a domain that does not normalise or a result that is
// not valid, and EndlessScheduleError for windows that leave no free minute in the week (those
// of all blocks together). Block names are trimmed; a name that is then not 1 to 64 printable
// characters, or that another block has too, is a JsonError naming it.
TamrinConfiguration cleanedConfiguration(const ConfigureRequest& request);

}  // namespace tamrin
