#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pfctl/ip_address.h"

namespace tamrin {

// The content of a rules file: the blocked addresses and the label all their rules carry.
struct RuleSet {
  std::string label;                 // empty when the text has no line
  std::vector<IpAddress> addresses;  // distinct, in the order of their first line
};

// Reads rule text of exactly this form, one line per address, all with the same label
// (a single blank between words, shown here on two lines):
//   block return out quick <inet|inet6> proto { tcp udp } from any to <address>
//   port { 80 443 } label "<label>"
// where the address is valid for the family (inet_pton) and the label is "tamrin-" followed by
// 1 to 16 lowercase hexadecimal digits. Lines end in a line feed (the last one may lack it).
// Throws PfctlError "line <n>: <reason>" for the first line that does not fit.
RuleSet parseRuleText(std::string_view text);

}  // namespace tamrin
