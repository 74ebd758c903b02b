#include "pfctl/nftables_anchor.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <set>

#include "core/packet_filter_rules.h"

#include "pfctl/pfctl_error.h"

namespace tamrin {
namespace {

using nlohmann::json;

constexpr std::string_view kTable = "tamrin";
constexpr std::string_view kIpv4Set = "ipv4_addr";
constexpr std::string_view kIpv6Set = "ipv6_addr";
constexpr std::string_view kBlockChain = "block";
constexpr std::string_view kBaseChain = "output";

// Table, sets and block chain with its four rules; safe to run on a table that has them.
constexpr std::string_view kSkeleton =
    "add table inet tamrin\n"
    "add set inet tamrin ipv4_addr { type ipv4_addr; }\n"
    "add set inet tamrin ipv6_addr { type ipv6_addr; }\n"
    "add chain inet tamrin block\n"
    "flush chain inet tamrin block\n"
    "add rule inet tamrin block ip daddr @ipv4_addr tcp dport { 80, 443 } reject with tcp reset\n"
    "add rule inet tamrin block ip daddr @ipv4_addr udp dport { 80, 443 }"
    " reject with icmp type port-unreachable\n"
    "add rule inet tamrin block ip6 daddr @ipv6_addr tcp dport { 80, 443 } reject with tcp reset\n"
    "add rule inet tamrin block ip6 daddr @ipv6_addr udp dport { 80, 443 }"
    " reject with icmpv6 type port-unreachable\n";

constexpr std::string_view kFlushSets =
    "flush set inet tamrin ipv4_addr\n"
    "flush set inet tamrin ipv6_addr\n";

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

// The (family, protocol, port) combinations a rule of the block chain rejects: only rules of
// the shape "ip[6] daddr @set tcp|udp dport <ports> reject ..." count.
std::vector<RejectRule> rejectRulesOf(const json& rule) {
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
  if (member((*expressions)[2], "reject") == nullptr) return {};
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

json parseJson(std::string_view text) {
  json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  const json* items = member(document, "nftables");
  if (items == nullptr || !items->is_array()) {
    throw PfctlError("nftables returned a listing that is not JSON of the expected form");
  }
  return std::move(document["nftables"]);
}

bool inAnchorTable(const json& object) {
  return textOf(member(object, "family")) == "inet" && textOf(member(object, "table")) == kTable;
}

}  // namespace

std::string replaceRulesCommands(const RuleSet& rules) {
  std::string commands(kSkeleton);
  commands.append(kFlushSets);
  for (const auto& [family, set] : {std::pair{AF_INET, kIpv4Set}, std::pair{AF_INET6, kIpv6Set}}) {
    std::string elements;
    for (const IpAddress& address : rules.addresses) {
      if (address.family != family) continue;
      elements.append(elements.empty() ? "" : ", ").append(address.text());
      elements.append(" comment \"").append(rules.label).append("\"");
    }
    if (elements.empty()) continue;
    commands.append("add element inet tamrin ").append(set).append(" { ");
    commands.append(elements).append(" }\n");
  }
  return commands;
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

std::string switchOnCommands() {
  return std::string(kSkeleton) +
         "add chain inet tamrin output"
         " { type filter hook output priority filter; policy accept; }\n"
         "flush chain inet tamrin output\n"
         "add rule inet tamrin output jump block\n";
}

ParsedTable parseTableListing(std::string_view text) {
  ParsedTable table;
  int baseChainRules = 0;
  bool baseChainJumps = false;
  for (const json& item : parseJson(text)) {
    if (const json* set = member(item, "set"); set != nullptr && inAnchorTable(*set)) {
      const std::string name = textOf(member(*set, "name"));
      if (name == kIpv4Set || name == kIpv6Set) {
        auto elements = elementsOf(*set, name == kIpv4Set ? AF_INET : AF_INET6);
        table.contents.addresses.insert(table.contents.addresses.end(), elements.begin(),
                                        elements.end());
      }
    } else if (const json* chain = member(item, "chain");
               chain != nullptr && inAnchorTable(*chain)) {
      if (textOf(member(*chain, "name")) == kBaseChain &&
          textOf(member(*chain, "hook")) == "output") {
        table.hasBaseChain = true;
      }
    } else if (const json* rule = member(item, "rule"); rule != nullptr && inAnchorTable(*rule)) {
      const std::string chainName = textOf(member(*rule, "chain"));
      if (chainName == kBlockChain) {
        for (const RejectRule& reject : rejectRulesOf(*rule)) table.contents.rules.insert(reject);
      } else if (chainName == kBaseChain) {
        ++baseChainRules;
        baseChainJumps = isJumpToBlockChain(*rule);
      }
    }
  }
  table.enabled = table.hasBaseChain && baseChainRules == 1 && baseChainJumps;
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

std::optional<ParsedTable> NftablesAnchor::readTable() {
  if (!listsAnchorTable(nftables_.run("list tables inet"))) return std::nullopt;
  return parseTableListing(nftables_.run("list table inet tamrin"));
}

bool NftablesAnchor::isEnabled() {
  const auto table = readTable();
  return table && table->enabled;
}

void NftablesAnchor::switchOn() { nftables_.run(switchOnCommands()); }

void NftablesAnchor::switchOff() {
  const auto table = readTable();
  if (!table || !table->hasBaseChain) return;
  nftables_.run("flush chain inet tamrin output\ndelete chain inet tamrin output\n");
}

void NftablesAnchor::replaceRules(const RuleSet& rules) {
  nftables_.run(replaceRulesCommands(rules));
}

void NftablesAnchor::addAddresses(const std::vector<IpAddress>& addresses) {
  const auto table = readTable();
  if (!table) throw PfctlError("the anchor holds no table to add addresses to");
  const std::string commands = addAddressesCommands(table->contents, addresses);
  if (!commands.empty()) nftables_.run(commands);
}

void NftablesAnchor::flushRules() {
  nftables_.run(std::string(kSkeleton) + std::string(kFlushSets));
}

AnchorContents NftablesAnchor::contents() {
  auto table = readTable();
  return table ? std::move(table->contents) : AnchorContents{};
}

}  // namespace tamrin
