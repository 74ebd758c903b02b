#include "pfctl/nftables_anchor.h"

#include <netinet/in.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include "core/packet_filter_rules.h"

#include "pfctl/pfctl_error.h"
#include "pfctl/record_set.h"

namespace tamrin {
namespace {

using nlohmann::json;

constexpr std::string_view kTable = "tamrin";
constexpr std::string_view kIpv4Set = "ipv4_addr";
constexpr std::string_view kIpv6Set = "ipv6_addr";
constexpr std::string_view kBlockChain = "block";
constexpr std::string_view kBaseChain = "output";
constexpr std::string_view kOriginalChain = "block_original";
constexpr std::string_view kNamesChain = "names";

// Table, sets and block chain with its four rules, for a table that has just been emptied.
constexpr std::string_view kSkeleton =
    "add table inet tamrin\n"
    "add set inet tamrin ipv4_addr { type ipv4_addr; }\n"
    "add set inet tamrin ipv6_addr { type ipv6_addr; }\n"
    "add chain inet tamrin block\n"
    "add rule inet tamrin block ip daddr @ipv4_addr tcp dport { 80, 443 } reject with tcp reset\n"
    "add rule inet tamrin block ip daddr @ipv4_addr udp dport { 80, 443 }"
    " reject with icmp type port-unreachable\n"
    "add rule inet tamrin block ip6 daddr @ipv6_addr tcp dport { 80, 443 } reject with tcp reset\n"
    "add rule inet tamrin block ip6 daddr @ipv6_addr udp dport { 80, 443 }"
    " reject with icmpv6 type port-unreachable\n"
    // The same rejects by the destination the connection had before any address or port
    // translation: a NAT elsewhere cannot lead a blocked connection past them.
    "add chain inet tamrin block_original\n"
    "add rule inet tamrin block_original meta l4proto tcp ct direction original"
    " ct original ip daddr @ipv4_addr ct original proto-dst { 80, 443 } reject with tcp reset\n"
    "add rule inet tamrin block_original meta l4proto udp ct direction original"
    " ct original ip daddr @ipv4_addr ct original proto-dst { 80, 443 }"
    " reject with icmp type port-unreachable\n"
    "add rule inet tamrin block_original meta l4proto tcp ct direction original"
    " ct original ip6 daddr @ipv6_addr ct original proto-dst { 80, 443 } reject with tcp reset\n"
    "add rule inet tamrin block_original meta l4proto udp ct direction original"
    " ct original ip6 daddr @ipv6_addr ct original proto-dst { 80, 443 }"
    " reject with icmpv6 type port-unreachable\n"
    // Postrouting allows no reject: the packet as it leaves is dropped.
    "add chain inet tamrin drop_leaving\n"
    "add rule inet tamrin drop_leaving ip daddr @ipv4_addr tcp dport { 80, 443 } drop\n"
    "add rule inet tamrin drop_leaving ip daddr @ipv4_addr udp dport { 80, 443 } drop\n"
    "add rule inet tamrin drop_leaving ip6 daddr @ipv6_addr tcp dport { 80, 443 } drop\n"
    "add rule inet tamrin drop_leaving ip6 daddr @ipv6_addr udp dport { 80, 443 } drop\n";

// The base chains that see a packet after every other table's chains on their hooks: the
// output hook after any rewrite there, forwarded traffic (containers), and the packet as it
// leaves, after a rewrite in postrouting.
constexpr std::string_view kLateChainCommands =
    "add chain inet tamrin output_last"
    " { type filter hook output priority 2147483647; policy accept; }\n"
    "add rule inet tamrin output_last jump block\n"
    "add rule inet tamrin output_last jump block_original\n"
    "add chain inet tamrin forward"
    " { type filter hook forward priority 2147483647; policy accept; }\n"
    "add rule inet tamrin forward jump block\n"
    "add rule inet tamrin forward jump block_original\n"
    "add chain inet tamrin postrouting"
    " { type filter hook postrouting priority 2147483647; policy accept; }\n"
    "add rule inet tamrin postrouting jump drop_leaving\n";

constexpr int kLastPriority = 2147483647;

// When an extra chain belongs in the table: always, while the filter is on (the base chain
// exists), or while names are inspected.
enum class Presence { always, switchedOn, inspectingNames };

// A chain of the table besides "block" and "output": its hook ("" for a chain reached only by
// jumps) and the shapes of its rules in order (see ruleShape).
struct ExtraChain {
  std::string_view name;
  std::string_view hook;
  Presence presence;
  std::array<std::string_view, 5> rules;
};

constexpr ExtraChain kExtraChains[] = {
    {kOriginalChain,
     "",
     Presence::always,
     {"original ip tcp", "original ip udp", "original ip6 tcp", "original ip6 udp"}},
    {"drop_leaving",
     "",
     Presence::always,
     {"drop ip tcp", "drop ip udp", "drop ip6 tcp", "drop ip6 udp"}},
    {"output_last", "output", Presence::switchedOn, {"jump block", "jump block_original"}},
    {"forward", "forward", Presence::switchedOn, {"jump block", "jump block_original"}},
    {"postrouting", "postrouting", Presence::switchedOn, {"jump drop_leaving"}},
    {kNamesChain,
     "",
     Presence::inspectingNames,
     {"refuse tcp", "refuse udp", "copy tcp over ip", "copy tcp over ip6", "copy udp"}},
    {"names_output", "output", Presence::inspectingNames, {"jump names"}},
    {"names_forward", "forward", Presence::inspectingNames, {"jump names"}},
};

// How nftables names the network header of `family` (AF_INET or AF_INET6).
const char* nftablesFamily(int family) { return family == AF_INET ? "ip" : "ip6"; }

// A TCP segment carries no data when its IP length is that of its headers alone: an IPv4
// length of 20 + 4 * data offset, an IPv6 payload length of 4 * data offset. Each pair is the
// length and the byte holding the data offset (offset << 4, the reserved bits clear). A
// segment with IPv4 options or IPv6 extension headers never matches, and is copied.
std::vector<std::pair<int, int>> headerOnlySegments(int family) {
  std::vector<std::pair<int, int>> segments;
  for (int offset = 5; offset <= 15; ++offset) {
    segments.emplace_back((family == AF_INET ? 20 : 0) + 4 * offset, offset << 4);
  }
  return segments;
}

// "ip length . @th,96,8 != { 40 . 0x50, ... }": the segment carries data.
std::string carriesDataMatch(int family) {
  std::string elements;
  for (const auto& [length, offsetByte] : headerOnlySegments(family)) {
    char element[16];
    std::snprintf(element, sizeof element, "%d . 0x%02x", length, offsetByte);
    elements += (elements.empty() ? "" : ", ") + std::string(element);
  }
  return std::string(nftablesFamily(family)) + " length . @th,96,8 != { " + elements + " }";
}

std::string hexMark(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// The statements of the names chain's rules as nftables lists them, by shape, each with the
// protocol of a "meta l4proto" match by name.
const std::vector<std::pair<std::string, json>>& namesRuleExpressions() {
  static const std::vector<std::pair<std::string, json>> kExpressions = [] {
    const auto markMatch = [](std::uint32_t value) {
      return json{{"match",
                   {{"op", "=="},
                    {"left", {{"&", json::array({{{"ct", {{"key", "mark"}}}}, kFlowMarkMask})}}},
                    {"right", value}}}};
    };
    const auto l4proto = [](std::string_view protocol) {
      return json{
          {"match",
           {{"op", "=="}, {"left", {{"meta", {{"key", "l4proto"}}}}}, {"right", protocol}}}};
    };
    const auto port = [](std::string_view protocol, json ports) {
      return json{{"match",
                   {{"op", "=="},
                    {"left", {{"payload", {{"protocol", protocol}, {"field", "dport"}}}}},
                    {"right", std::move(ports)}}}};
    };
    const json original = {
        {"match",
         {{"op", "=="}, {"left", {{"ct", {{"key", "direction"}}}}}, {"right", "original"}}}};
    const json newOrEstablished = {{"match",
                                    {{"op", "=="},
                                     {"left", {{"ct", {{"key", "state"}}}}},
                                     {"right", {{"set", json::array({"established", "new"})}}}}}};
    const json copy = {{"log", {{"group", kPacketCopyGroup}}}};
    const auto carriesData = [](int family) {
      json segments = json::array();
      for (const auto& [length, offsetByte] : headerOnlySegments(family)) {
        segments.push_back({{"concat", {length, offsetByte}}});
      }
      const json fields =
          json::array({{{"payload", {{"protocol", nftablesFamily(family)}, {"field", "length"}}}},
                       {{"payload", {{"base", "th"}, {"offset", 96}, {"len", 8}}}}});
      return json{{"match",
                   {{"op", "!="},
                    {"left", {{"concat", fields}}},
                    {"right", {{"set", std::move(segments)}}}}}};
    };
    const auto copyTcp = [&](int family) {
      return json::array({port("tcp", {{"set", {80, 443}}}), newOrEstablished, original,
                          markMatch(0), carriesData(family), copy});
    };
    return std::vector<std::pair<std::string, json>>{
        {"refuse tcp", json::array({l4proto("tcp"),
                                    original,
                                    markMatch(kFlowMarkRefused),
                                    {{"reject", {{"type", "tcp reset"}}}}})},
        {"refuse udp",
         json::array({l4proto("udp"),
                      original,
                      markMatch(kFlowMarkRefused),
                      {{"reject", {{"type", "icmpx"}, {"expr", "port-unreachable"}}}}})},
        {"copy tcp over ip", copyTcp(AF_INET)},
        {"copy tcp over ip6", copyTcp(AF_INET6)},
        {"copy udp", json::array({port("udp", 443), original, markMatch(0), copy})},
    };
  }();
  return kExpressions;
}

}  // namespace

std::string namesChainCommands() {
  const std::string mask = "ct mark and " + hexMark(kFlowMarkMask) + " == ";
  // Only the original direction: the reset a reject sends back belongs to the connection too.
  const std::string refused = "ct direction original " + mask + hexMark(kFlowMarkRefused);
  const std::string undecided = "ct direction original " + mask + "0";
  const std::string copy = " log group " + std::to_string(kPacketCopyGroup) + "\n";
  const std::string rule = "add rule inet tamrin names ";
  std::string commands = "add chain inet tamrin names\n";
  commands += rule + "meta l4proto tcp " + refused + " reject with tcp reset\n";
  commands += rule + "meta l4proto udp " + refused + " reject with icmpx type port-unreachable\n";
  // A new connection's segment carries data only as a SYN of TCP Fast Open, whose data may be
  // the whole request: it is copied too.
  for (const int family : {AF_INET, AF_INET6}) {
    commands += rule + "tcp dport { 80, 443 } ct state { new, established } " + undecided + " " +
                carriesDataMatch(family) + copy;
  }
  commands += rule + "udp dport 443 " + undecided + copy;
  for (const char* hook : {"output", "forward"}) {
    const std::string chain = std::string("names_") + hook;
    commands += "add chain inet tamrin " + chain + " { type filter hook " + hook +
                " priority 2147483647; policy accept; }\n";
    commands += "add rule inet tamrin " + chain + " jump names\n";
  }
  return commands;
}

namespace {

constexpr std::string_view kBaseChainCommands =
    "add chain inet tamrin output { type filter hook output priority filter; policy accept; }\n"
    "add rule inet tamrin output jump block\n";

// The member `key` of an object, or nullptr.
const json* member(const json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::string textOf(const json* value) {
  return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
}

// A comparison "<protocol> <field> == <right>" of a packet field.
struct PayloadMatch {
  std::string protocol;
  const json* right;
};

std::optional<PayloadMatch> payloadMatch(const json& expression, std::string_view field) {
  const json* match = member(expression, "match");
  if (match == nullptr || textOf(member(*match, "op")) != "==") return std::nullopt;
  const json* left = member(*match, "left");
  const json* payload = left != nullptr ? member(*left, "payload") : nullptr;
  const json* right = member(*match, "right");
  if (payload == nullptr || right == nullptr || textOf(member(*payload, "field")) != field) {
    return std::nullopt;
  }
  return PayloadMatch{textOf(member(*payload, "protocol")), right};
}

// The (family, protocol, port) combinations a rule of the block chain rejects (or, with
// `verdict` "drop", drops): only rules of the shape "ip[6] daddr @set tcp|udp dport <ports>
// <verdict> ..." count.
std::vector<RejectRule> rejectRulesOf(const json& rule, std::string_view verdict = "reject") {
  const json* expressions = member(rule, "expr");
  if (expressions == nullptr || !expressions->is_array() || expressions->size() != 3) return {};
  const auto destination = payloadMatch((*expressions)[0], "daddr");
  if (!destination) return {};
  const std::string set = textOf(destination->right);
  int family;
  if (destination->protocol == "ip" && set == "@ipv4_addr") {
    family = AF_INET;
  } else if (destination->protocol == "ip6" && set == "@ipv6_addr") {
    family = AF_INET6;
  } else {
    return {};
  }
  const auto port = payloadMatch((*expressions)[1], "dport");
  if (!port || (port->protocol != "tcp" && port->protocol != "udp")) return {};
  if (member((*expressions)[2], verdict) == nullptr) return {};
  const Protocol protocol = port->protocol == "tcp" ? Protocol::tcp : Protocol::udp;
  const json* ports = port->right;

  const json* portSet = member(*ports, "set");
  const json& portList = portSet != nullptr ? *portSet : *ports;
  std::vector<RejectRule> rules;
  for (const json& value : portList.is_array() ? portList : json::array({portList})) {
    if (value.is_number_integer() && (value == 80 || value == 443)) {
      rules.push_back({family, protocol, value.get<int>()});
    }
  }
  return rules;
}

// The elements of an address set, each with the label stored as its comment.
std::vector<ListedAddress> elementsOf(const json& set, int family) {
  std::vector<ListedAddress> addresses;
  const json* elements = member(set, "elem");
  if (elements == nullptr || !elements->is_array()) return addresses;
  for (const json& element : *elements) {
    const json* detailed = member(element, "elem");
    const std::string value = textOf(detailed != nullptr ? member(*detailed, "val") : &element);
    if (auto address = IpAddress::parse(value, family)) {
      addresses.push_back(
          {*address, detailed != nullptr ? textOf(member(*detailed, "comment")) : std::string()});
    }
  }
  return addresses;
}

bool isJumpToBlockChain(const json& rule) {
  const json* expressions = member(rule, "expr");
  if (expressions == nullptr || !expressions->is_array() || expressions->size() != 1) return false;
  const json* jump = member((*expressions)[0], "jump");
  return jump != nullptr && textOf(member(*jump, "target")) == kBlockChain;
}

// The right side of a match "ct [original] <key> == ...", or nullptr.
const json* ctMatch(const json& expression, std::string_view key, bool original) {
  const json* match = member(expression, "match");
  if (match == nullptr || textOf(member(*match, "op")) != "==") return nullptr;
  const json* left = member(*match, "left");
  const json* ct = left != nullptr ? member(*left, "ct") : nullptr;
  if (ct == nullptr || textOf(member(*ct, "key")) != key) return nullptr;
  if ((member(*ct, "dir") != nullptr) != original) return nullptr;
  if (original && textOf(member(*ct, "dir")) != "original") return nullptr;
  return member(*match, "right");
}

// Whether `ports` is the set { 80, 443 }, as numbers or as nftables 1.0.6 lists a port set
// of a conntrack key ("0x50 [invalid type]").
bool arePorts80And443(const json* ports) {
  const json* set = ports != nullptr ? member(*ports, "set") : nullptr;
  if (set == nullptr || !set->is_array()) return false;
  std::set<long> values;
  for (const json& value : *set) {
    if (value.is_number_integer()) {
      values.insert(value.get<long>());
    } else if (value.is_string() && textOf(&value).starts_with("0x")) {
      values.insert(std::strtol(textOf(&value).c_str(), nullptr, 16));
    } else {
      return false;
    }
  }
  return values == std::set<long>{80, 443};
}

// "ip"/"ip6" and "tcp"/"udp" as a shape names them.
std::string shapeOf(int family, Protocol protocol) {
  return std::string(nftablesFamily(family)) + " " + (protocol == Protocol::tcp ? "tcp" : "udp");
}

// The shape of a rule of the extra chains: "jump <chain>", "drop <ip|ip6> <tcp|udp>" for a
// drop of ports 80 and 443 at the set's addresses, "original <ip|ip6> <tcp|udp>" for a reject
// of them by the connection's original destination; "" for any other rule.
std::string ruleShape(const json& rule) {
  const json* expressions = member(rule, "expr");
  if (expressions == nullptr || !expressions->is_array()) return "";
  // Where the system has no /etc/protocols, nftables gives the protocol's number.
  json named = *expressions;
  for (json& expression : named) {
    json* match =
        expression.is_object() && expression.contains("match") ? &expression["match"] : nullptr;
    if (match == nullptr || !match->is_object() || !match->contains("right")) continue;
    json& right = (*match)["right"];
    if (right.is_number_integer() &&
        match->value("left", json()) == json{{"meta", {{"key", "l4proto"}}}}) {
      right = right == IPPROTO_TCP ? json("tcp") : right == IPPROTO_UDP ? json("udp") : right;
    }
  }
  for (const auto& [shape, expected] : namesRuleExpressions()) {
    if (named == expected) return shape;
  }
  if (expressions->size() == 1) {
    const json* jump = member((*expressions)[0], "jump");
    return jump != nullptr ? "jump " + textOf(member(*jump, "target")) : "";
  }
  if (expressions->size() == 3) {
    const std::vector<RejectRule> drops = rejectRulesOf(rule, "drop");
    if (drops.size() != 2 || drops[0].port != 80 || drops[1].port != 443) return "";
    return "drop " + shapeOf(drops[0].family, drops[0].protocol);
  }
  if (expressions->size() != 5) return "";
  const json& e = *expressions;
  const json* l4 = member(e[0], "match");
  const json* left = l4 != nullptr ? member(*l4, "left") : nullptr;
  const json* meta = left != nullptr ? member(*left, "meta") : nullptr;
  if (meta == nullptr || textOf(member(*meta, "key")) != "l4proto" ||
      textOf(member(*l4, "op")) != "==") {
    return "";
  }
  // A name, or the number where the system has no /etc/protocols to name it.
  const json* l4Value = member(*l4, "right");
  std::string protocol = textOf(l4Value);
  if (l4Value != nullptr && l4Value->is_number_integer()) {
    protocol = *l4Value == IPPROTO_TCP ? "tcp" : *l4Value == IPPROTO_UDP ? "udp" : "";
  }
  if (protocol != "tcp" && protocol != "udp") return "";
  const json* direction = ctMatch(e[1], "direction", false);
  if (direction == nullptr || textOf(direction) != "original") return "";
  int family;
  if (const json* v4 = ctMatch(e[2], "ip daddr", true); v4 && textOf(v4) == "@ipv4_addr") {
    family = AF_INET;
  } else if (const json* v6 = ctMatch(e[2], "ip6 daddr", true); v6 && textOf(v6) == "@ipv6_addr") {
    family = AF_INET6;
  } else {
    return "";
  }
  if (!arePorts80And443(ctMatch(e[3], "proto-dst", true))) return "";
  if (member(e[4], "reject") == nullptr) return "";
  return "original " + shapeOf(family, protocol == "tcp" ? Protocol::tcp : Protocol::udp);
}

// A short text naming the statements of a rule, e.g. "return" or "match match reject".
std::string ruleSummary(const json& rule) {
  std::string summary;
  const json* expressions = member(rule, "expr");
  if (expressions == nullptr || !expressions->is_array()) return "(no statements)";
  for (const json& expression : *expressions) {
    if (!expression.is_object() || expression.empty()) continue;
    summary.append(summary.empty() ? "" : " ").append(expression.begin().key());
  }
  return summary;
}

json parseJson(std::string_view text) {
  json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  const json* items = member(document, "nftables");
  if (items == nullptr || !items->is_array()) {
    throw PfctlError("nftables returned a listing that is not JSON of the expected form");
  }
  return std::move(document["nftables"]);
}

const ExtraChain* extraChainNamed(std::string_view name) {
  for (const ExtraChain& extra : kExtraChains) {
    if (extra.name == name) return &extra;
  }
  return nullptr;
}

std::string chainOf(const json& rule) { return textOf(member(rule, "chain")); }

// A regular chain without a hook, or a filter chain on its hook at the last priority with the
// policy accept.
bool isExtraChainAsWritten(const json& chain, const ExtraChain& extra) {
  if (extra.hook.empty()) return member(chain, "hook") == nullptr;
  const json* priority = member(chain, "prio");
  return textOf(member(chain, "hook")) == extra.hook && textOf(member(chain, "type")) == "filter" &&
         priority != nullptr && *priority == kLastPriority &&
         textOf(member(chain, "policy")) == "accept";
}

// What the listing showed of one extra chain.
struct ExtraChainSeen {
  bool present = false;
  bool exact = false;
  std::vector<std::string> rules;  // their shapes, in order
};

bool inAnchorTable(const json& object) {
  return textOf(member(object, "family")) == "inet" && textOf(member(object, "table")) == kTable;
}

}  // namespace

std::string tableCommands(const std::vector<ListedAddress>& addresses, bool switchedOn,
                          std::string_view record, bool inspectingNames) {
  // "add" first, so that "delete" cannot fail on a missing table; the whole text is one
  // transaction, so packets see the old table or the new one, never none.
  std::string commands = "add table inet tamrin\ndelete table inet tamrin\n";
  // A table that would hold nothing stays deleted: outside blocks none is left behind.
  if (addresses.empty() && !switchedOn && record.empty() && !inspectingNames) return commands;
  commands.append(kSkeleton);
  if (switchedOn) commands.append(kLateChainCommands);
  for (const auto& [family, set] : {std::pair{AF_INET, kIpv4Set}, std::pair{AF_INET6, kIpv6Set}}) {
    std::string elements;
    for (const ListedAddress& listed : addresses) {
      if (listed.address.family != family) continue;
      elements.append(elements.empty() ? "" : ", ").append(listed.address.text());
      elements.append(" comment \"").append(listed.label).append("\"");
    }
    if (elements.empty()) continue;
    commands.append("add element inet tamrin ").append(set).append(" { ");
    commands.append(elements).append(" }\n");
  }
  if (switchedOn) commands.append(kBaseChainCommands);
  if (inspectingNames) commands.append(namesChainCommands());
  return commands.append(recordSetCommands(record));
}

std::string addAddressesCommands(const AnchorContents& current,
                                 const std::vector<IpAddress>& added) {
  std::set<IpAddress> all;
  for (const ListedAddress& listed : current.addresses) all.insert(listed.address);
  all.insert(added.begin(), added.end());
  std::vector<std::string> texts;
  for (const IpAddress& address : all) texts.push_back(address.text());
  const std::string label = packetFilterRuleLabel(texts);

  std::string commands;
  for (const auto& [family, set] : {std::pair{AF_INET, kIpv4Set}, std::pair{AF_INET6, kIpv6Set}}) {
    std::string stale;  // elements whose label changes are replaced in the same transaction
    std::set<IpAddress> kept;
    for (const ListedAddress& listed : current.addresses) {
      if (listed.address.family != family) continue;
      if (listed.label == label) {
        kept.insert(listed.address);
      } else {
        stale.append(stale.empty() ? "" : ", ").append(listed.address.text());
      }
    }
    std::string elements;
    for (const IpAddress& address : all) {
      if (address.family != family || kept.contains(address)) continue;
      elements.append(elements.empty() ? "" : ", ").append(address.text());
      elements.append(" comment \"").append(label).append("\"");
    }
    if (!stale.empty()) {
      commands.append("delete element inet tamrin ").append(set).append(" { ");
      commands.append(stale).append(" }\n");
    }
    if (!elements.empty()) {
      commands.append("add element inet tamrin ").append(set).append(" { ");
      commands.append(elements).append(" }\n");
    }
  }
  return commands;
}

std::string replaceRulesCommands(const RuleSet& rules, bool switchedOn, std::string_view record,
                                 bool inspectingNames) {
  std::vector<ListedAddress> addresses;
  addresses.reserve(rules.addresses.size());
  for (const IpAddress& address : rules.addresses) addresses.push_back({address, rules.label});
  return tableCommands(addresses, switchedOn, record, inspectingNames);
}

std::string switchOnCommands(const std::vector<ListedAddress>& addresses, std::string_view record,
                             bool inspectingNames) {
  return tableCommands(addresses, true, record, inspectingNames);
}

ParsedTable parseTableListing(std::string_view text) {
  ParsedTable table;
  std::vector<std::string>& unexpected = table.contents.unexpected;
  int baseChainRules = 0;
  std::map<std::string_view, ExtraChainSeen> extraSeen;
  bool baseChainJumps = false;
  bool baseChainExact = false;
  std::size_t blockRules = 0;
  for (const json& item : parseJson(text)) {
    if (!item.is_object() || item.size() != 1) continue;
    const std::string kind = item.begin().key();
    const json& object = item.begin().value();
    if (kind == "metainfo") continue;
    if (kind == "table") {
      if (textOf(member(object, "family")) == "inet" && textOf(member(object, "name")) == kTable &&
          member(object, "flags") != nullptr) {
        unexpected.push_back("table flags");
      }
      continue;
    }
    if (!inAnchorTable(object)) continue;
    const std::string name = textOf(member(object, "name"));
    if (kind == "set" && name == kRecordSet) {
      table.record = recordTextOf(object);
    } else if (kind == "set" && (name == kIpv4Set || name == kIpv6Set)) {
      if (textOf(member(object, "type")) != name) unexpected.push_back("type of set " + name);
      auto elements = elementsOf(object, name == kIpv4Set ? AF_INET : AF_INET6);
      table.contents.addresses.insert(table.contents.addresses.end(), elements.begin(),
                                      elements.end());
    } else if (kind == "chain" && name == kBlockChain) {
      if (member(object, "hook") != nullptr) unexpected.push_back("hook on chain block");
    } else if (kind == "chain" && name == kBaseChain) {
      table.hasBaseChain = textOf(member(object, "hook")) == "output";
      const json* priority = member(object, "prio");
      baseChainExact = table.hasBaseChain && textOf(member(object, "type")) == "filter" &&
                       priority != nullptr && *priority == 0 &&
                       textOf(member(object, "policy")) == "accept";
      if (!baseChainExact) unexpected.push_back("type, hook, priority or policy of chain output");
    } else if (kind == "rule" && textOf(member(object, "chain")) == kBlockChain) {
      // Exactly the four rejects, in their order, and nothing else.
      static constexpr std::pair<int, Protocol> kOrder[] = {{AF_INET, Protocol::tcp},
                                                            {AF_INET, Protocol::udp},
                                                            {AF_INET6, Protocol::tcp},
                                                            {AF_INET6, Protocol::udp}};
      const std::vector<RejectRule> rejects = rejectRulesOf(object);
      for (const RejectRule& reject : rejects) table.contents.rules.insert(reject);
      const bool inPlace =
          blockRules < std::size(kOrder) &&
          rejects ==
              std::vector<RejectRule>{{kOrder[blockRules].first, kOrder[blockRules].second, 80},
                                      {kOrder[blockRules].first, kOrder[blockRules].second, 443}};
      if (!inPlace) {
        unexpected.push_back("rule " + std::to_string(blockRules + 1) +
                             " of chain block: " + ruleSummary(object));
      }
      ++blockRules;
    } else if (kind == "rule" && textOf(member(object, "chain")) == kBaseChain) {
      ++baseChainRules;
      baseChainJumps = isJumpToBlockChain(object);
      if (baseChainRules > 1 || !baseChainJumps) {
        unexpected.push_back("rule " + std::to_string(baseChainRules) +
                             " of chain output: " + ruleSummary(object));
      }
    } else if (const ExtraChain* extra = extraChainNamed(kind == "rule" ? chainOf(object) : name)) {
      ExtraChainSeen& seen = extraSeen[extra->name];
      if (kind == "rule") {
        seen.rules.push_back(ruleShape(object));
      } else if (kind == "chain") {
        seen.present = true;
        seen.exact = isExtraChainAsWritten(object, *extra);
      } else {
        unexpected.push_back(kind + " " + name);
      }
    } else if (kind != "rule") {  // rules of other chains come with their chain
      unexpected.push_back(kind + " " + name);
    }
  }
  for (const ExtraChain& extra : kExtraChains) {
    if (extra.presence == Presence::inspectingNames && extraSeen[extra.name].present) {
      table.inspectingNames = true;
    }
  }
  table.namesExact = table.inspectingNames;
  for (const ExtraChain& extra : kExtraChains) {
    const ExtraChainSeen& seen = extraSeen[extra.name];
    const std::string chain = "chain " + std::string(extra.name);
    const bool names = extra.presence == Presence::inspectingNames;
    const bool wanted = extra.presence == Presence::always ||
                        (extra.presence == Presence::switchedOn && table.hasBaseChain) ||
                        (names && table.inspectingNames);
    const std::size_t before = unexpected.size();
    if (!seen.present) {
      if (wanted) unexpected.push_back(chain + " missing");
    } else {
      if (!wanted) unexpected.push_back(chain + " without the chain output");
      if (!seen.exact) unexpected.push_back("type, hook, priority or policy of " + chain);
      std::vector<std::string> expected;
      for (std::string_view rule : extra.rules) {
        if (!rule.empty()) expected.emplace_back(rule);
      }
      if (seen.rules != expected) unexpected.push_back("rules of " + chain);
    }
    if (names && unexpected.size() != before) table.namesExact = false;
  }
  table.enabled = baseChainExact && baseChainRules == 1 && baseChainJumps;
  return table;
}

bool listsAnchorTable(std::string_view text) {
  for (const json& item : parseJson(text)) {
    const json* table = member(item, "table");
    if (table != nullptr && textOf(member(*table, "family")) == "inet" &&
        textOf(member(*table, "name")) == kTable) {
      return true;
    }
  }
  return false;
}

std::optional<std::string> NftablesAnchor::listIfPresent(std::string_view command) {
  try {
    return nftables_.run(command);
  } catch (const PfctlError& error) {
    // What nftables says when the table or the chain does not exist.
    if (std::string_view(error.what()).ends_with("No such file or directory")) return std::nullopt;
    throw;
  }
}

std::optional<ParsedTable> NftablesAnchor::readTable() {
  const auto listing = listIfPresent("list table inet tamrin");
  if (!listing) return std::nullopt;
  try {
    return parseTableListing(*listing);
  } catch (const PfctlError&) {
    // nftables 1.0.6 cuts its JSON short after the "flags" of a table made dormant by hand.
    // The parts we rebuild from list without the table's own line; the table is not ours.
    ParsedTable table;
    for (const char* part : {"list set inet tamrin ipv4_addr", "list set inet tamrin ipv6_addr",
                             "list chain inet tamrin block", "list chain inet tamrin output",
                             "list set inet tamrin record", "list chain inet tamrin names"}) {
      const auto piece = listIfPresent(part);
      if (!piece) continue;
      ParsedTable parsed = parseTableListing(*piece);
      auto& addresses = table.contents.addresses;
      addresses.insert(addresses.end(), parsed.contents.addresses.begin(),
                       parsed.contents.addresses.end());
      table.contents.rules.insert(parsed.contents.rules.begin(), parsed.contents.rules.end());
      table.hasBaseChain = table.hasBaseChain || parsed.hasBaseChain;
      table.inspectingNames = table.inspectingNames || parsed.inspectingNames;
      if (!parsed.record.empty()) table.record = parsed.record;
    }
    table.contents.unexpected.push_back("a table that nftables cannot list whole");
    return table;
  }
}

bool NftablesAnchor::isEnabled() {
  // Only the base chain and its rules: no set elements, which may be many.
  const auto listing = listIfPresent("list chain inet tamrin output");
  return listing && parseTableListing(*listing).enabled;
}

void NftablesAnchor::switchOn() {
  const auto table = readTable();
  nftables_.run(
      table ? switchOnCommands(table->contents.addresses, table->record, table->inspectingNames)
            : switchOnCommands({}));
}

void NftablesAnchor::switchOff() {
  const auto table = readTable();
  if (!table || !table->hasBaseChain) return;
  nftables_.run(
      tableCommands(table->contents.addresses, false, table->record, table->inspectingNames));
}

void NftablesAnchor::replaceRules(const RuleSet& rules) {
  const auto table = readTable();
  nftables_.run(replaceRulesCommands(rules, table && table->hasBaseChain,
                                     table ? std::string_view(table->record) : "",
                                     table && table->inspectingNames));
}

void NftablesAnchor::addAddresses(const std::vector<IpAddress>& addresses) {
  const auto table = readTable();
  if (!table) throw PfctlError("the anchor holds no table to add addresses to");
  const std::string commands = addAddressesCommands(table->contents, addresses);
  if (!commands.empty()) nftables_.run(commands);
}

void NftablesAnchor::flushRules() {
  const auto table = readTable();
  nftables_.run(tableCommands({}, table && table->hasBaseChain,
                              table ? std::string_view(table->record) : "",
                              table && table->inspectingNames));
}

void NftablesAnchor::inspectNames(bool on) {
  const auto table = readTable();
  if (on ? table && table->namesExact && table->contents.unexpected.empty()
         : !table || !table->inspectingNames) {
    return;
  }
  nftables_.run(
      table ? tableCommands(table->contents.addresses, table->hasBaseChain, table->record, on)
            : tableCommands({}, false, {}, on));
}

bool NftablesAnchor::namesInspected() {
  const auto table = readTable();
  return table && table->namesExact;
}

AnchorContents NftablesAnchor::contents() {
  auto table = readTable();
  return table ? std::move(table->contents) : AnchorContents{};
}

}  // namespace tamrin
