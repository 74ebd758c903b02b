#include "core/blocked_hostnames.h"

#include <array>
#include <string_view>
#include <unordered_set>

#include "core/configuration.h"

namespace tamrin {
namespace {

// Sites known to serve the same content under further host names. Keys match the whole
// (already normalised) domain exactly; a sub-domain of a key does not match.
struct SiblingNames {
  std::string_view domain;
  std::array<std::string_view, 2> extra;
  size_t count;
};

constexpr std::array<SiblingNames, 2> kSiblingNames = {{
    {"youtube.com", {"m.youtube.com", ""}, 1},
    {"x.com", {"twitter.com", "www.twitter.com"}, 2},
}};

}  // namespace

std::vector<std::string> blockedHostnames(const std::vector<std::string>& domains) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  auto add = [&](std::string name) {
    if (seen.insert(name).second) names.push_back(std::move(name));
  };
  for (const std::string& rule : domains) {
    const std::string domain(ruleDomain(rule));
    add(domain);
    add("www." + domain);
    for (const SiblingNames& entry : kSiblingNames) {
      if (entry.domain != domain) continue;
      for (size_t i = 0; i < entry.count; ++i) add(std::string(entry.extra[i]));
    }
  }
  return names;
}

}  // namespace tamrin
