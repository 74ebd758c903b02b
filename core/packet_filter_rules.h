#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamrin {

// Reading server names on the wire during a block: the packet filter copies the first packets
// of each new outgoing TCP 80/443 and UDP 443 flow to this NFLOG group, the daemon decides the
// flow and marks its connection, and the filter then rejects a refused flow and copies no more
// of a decided one. The mark bits are this system's own; the other bits of a connection's mark
// belong to other users and are kept.
inline constexpr std::uint16_t kPacketCopyGroup = 7461;
inline constexpr std::uint32_t kFlowMarkMask = 0x06000000;     // zero: not decided yet
inline constexpr std::uint32_t kFlowMarkPassed = 0x02000000;   // its name was read and allowed
inline constexpr std::uint32_t kFlowMarkRefused = 0x06000000;  // refused: rejected from now on

// The pieces of a rule line, in order: head, family ("inet" or "inet6"), protocols, source,
// address, ports and label opener, label (prefix and hash), closer. Shared by the writer
// below and the packet-filter tool's parser.
namespace rule_text {
inline constexpr std::string_view kHead = "block return out quick ";
inline constexpr std::string_view kProtocols = " proto { tcp udp } ";
inline constexpr std::string_view kSource = "from any to ";
inline constexpr std::string_view kPortsAndLabelOpener = " port { 80 443 } label \"";
inline constexpr std::string_view kLabelCloser = "\"";
inline constexpr std::string_view kLabelPrefix = "tamrin-";
}  // namespace rule_text

// The rule text for one anchor: one "block return out quick ..." line per distinct address,
// sorted, each ending in a line feed. Throws TamrinError domainResolution for an empty list
// and invalidPacketFilterAddress for a text that is neither an IPv4 nor an IPv6 address.
std::string packetFilterRules(const std::vector<std::string>& addresses);

// "tamrin-" + the 64-bit FNV-1a hash (lowercase hex, no padding) of the distinct sorted
// addresses joined with "\n". Never fails.
std::string packetFilterRuleLabel(const std::vector<std::string>& addresses);

}  // namespace tamrin
