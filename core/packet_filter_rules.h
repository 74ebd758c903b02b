#pragma once

#include <string>
#include <vector>

namespace tamrin {

// The rule text for one anchor: one "block return out quick ..." line per distinct address,
// sorted, each ending in a line feed. Throws TamrinError domainResolution for an empty list
// and invalidPacketFilterAddress for a text that is neither an IPv4 nor an IPv6 address.
std::string packetFilterRules(const std::vector<std::string>& addresses);

// "tamrin-" + the 64-bit FNV-1a hash (lowercase hex, no padding) of the distinct sorted
// addresses joined with "\n". Never fails.
std::string packetFilterRuleLabel(const std::vector<std::string>& addresses);

}  // namespace tamrin
