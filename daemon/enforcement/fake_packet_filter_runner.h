#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tamrin {

// A simulated packet-filter tool that answers exactly the argument lists the controller uses,
// keeping the filter's on/off state and loaded rules in memory.
class FakePacketFilterRunner {
 public:
  bool enabled = false;
  bool rejectsRuleLoads = false;
  std::string rules;
  // Appended verbatim to the listing: a rule the controller did not write.
  std::string extraLoadedRule;
  // Returned as the listing instead of the simulated one when present.
  std::optional<std::string> loadedRulesOverride;
  // The block record held beside the rules ("" for none).
  std::string record;

  // The listing the real filter would print for `rules`: every rule line expanded into four,
  // tcp then udp, port 80 then 443, followed by `extraLoadedRule`.
  std::string loadedRules() const;

  // Throws TamrinError packetFilter for a rejected load or an unexpected argument list.
  std::string run(const std::vector<std::string>& arguments);
};

}  // namespace tamrin
