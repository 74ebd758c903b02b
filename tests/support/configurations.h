#pragma once

#include <algorithm>
#include <cstddef>
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

// `count` distinct domains "s00000.example.com", "s00001.example.com", ...; with `padding`,
// each starts with that many more letters.
inline std::vector<std::string> numberedDomains(std::size_t count, std::size_t padding = 0) {
  std::vector<std::string> domains;
  for (std::size_t i = 0; i < count; ++i) {
    std::string number = std::to_string(i);
    domains.push_back(std::string(padding, 'p') + "s" +
                      std::string(5 - std::min<std::size_t>(number.size(), 5), '0') + number +
                      ".example.com");
  }
  return domains;
}

// A configuration holding `windows` in its "windows" list; one site unless told otherwise.
inline TamrinConfiguration windows(std::vector<FocusWindow> windows,
                                   std::vector<std::string> domains = {"example.com"}) {
  TamrinConfiguration configuration;
  configuration.domains = std::move(domains);
  configuration.windows = std::move(windows);
  return configuration;
}

// The same schedule as `configuration` (given with the three top-level keys) given as a list
// of that one window.
inline TamrinConfiguration asWindowList(const TamrinConfiguration& configuration) {
  return windows({configuration.topLevelWindow()}, configuration.domains);
}

// A configuration of named blocks, each given as a configuration of the first two forms.
inline TamrinConfiguration namedBlocks(std::vector<std::pair<std::string, TamrinConfiguration>> blocks) {
  TamrinConfiguration configuration;
  configuration.blocks.emplace();
  for (auto& [name, schedule] : blocks) configuration.blocks->push_back({name, std::move(schedule)});
  return configuration;
}

}  // namespace tamrin::testing
