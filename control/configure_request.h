#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/configuration.h"

namespace tamrin {

// The input of `configure`: one JSON object with all four keys; other keys are ignored.
struct ConfigureRequest {
  std::vector<std::string> domains;
  std::int64_t focusStartMinutes = 0;
  std::int64_t accessStartMinutes = 0;
  std::vector<std::int64_t> activeWeekdays;

  bool operator==(const ConfigureRequest&) const = default;
};

// Throws JsonError for text that is not one JSON object, a missing key, a null or a value of
// the wrong type.
ConfigureRequest decodeConfigureRequest(std::string_view bytes);

// The configuration to send: domains normalised and de-duplicated in order of first
// appearance, weekdays sorted ascending (repeats kept). Throws ControlError
// invalidConfiguration for a domain that does not normalise or a result that is not valid.
TamrinConfiguration cleanedConfiguration(const ConfigureRequest& request);

}  // namespace tamrin
