#pragma once

#include <compare>
#include <set>
#include <string>
#include <vector>

#include "pfctl/ip_address.h"

namespace tamrin {

enum class Protocol { tcp, udp };

// One (family, protocol, destination port) combination that the anchor's chain rejects.
struct RejectRule {
  int family;  // AF_INET or AF_INET6
  Protocol protocol;
  int port;

  auto operator<=>(const RejectRule&) const = default;
};

// A blocked address as the kernel holds it, with the label stored beside it.
struct ListedAddress {
  IpAddress address;
  std::string label;
};

// What the anchor holds in the kernel.
struct AnchorContents {
  std::vector<ListedAddress> addresses;
  std::set<RejectRule> rules;
  // One description for each thing in the table that the tool does not put there.
  std::vector<std::string> unexpected;
};

// The rule listing: for each address, sorted by its text, one line per rule of its family in
// the order tcp 80, tcp 443, udp 80, udp 443 (one line each, shown here on two):
//   block return out quick <inet|inet6> proto <tcp|udp> from any to <address>
//   port = <port> label "<label>"
// then one line "unexpected: <description>" per unexpected thing. Empty when the anchor holds
// no address and nothing unexpected.
std::string formatRuleListing(const AnchorContents& contents);

}  // namespace tamrin
