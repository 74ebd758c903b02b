#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/configuration.h"

namespace tamrin::testing {

// A configuration with the given window; one site and every day unless told otherwise.
inline TamrinConfiguration window(std::int64_t focus, std::int64_t access,
                                  std::vector<std::string> domains = {"example.com"},
                                  std::optional<std::vector<std::int64_t>> weekdays = {}) {
  return {.domains = std::move(domains),
          .focusStartMinutes = focus,
          .accessStartMinutes = access,
          .activeWeekdays = std::move(weekdays)};
}

}  // namespace tamrin::testing
