#include "pfctl/nftables_anchor.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/packet_filter_rules.h"
#include "pfctl/pfctl_error.h"
#include "pfctl/record_set.h"

namespace tamrin {
namespace {

IpAddress addressOf(const std::string& text) {
  return *IpAddress::parse(text, text.find(':') == std::string::npos ? AF_INET : AF_INET6);
}

using nlohmann::json;

// The kernel's listing after "-E" and a load of 10.77.0.2 and 2001:db8::1, with one element
// (10.0.0.9) added by hand without a comment; the jump of chain output comes last.
constexpr std::string_view kListing = R"({"nftables": [
 {"metainfo": {"version": "1.0.6", "release_name": "Lester Gooch #5", "json_schema_version": 1}},
 {"table": {"family": "inet", "name": "tamrin", "handle": 1}},
 {"set": {"family": "inet", "name": "ipv4_addr", "table": "tamrin", "type": "ipv4_addr", "handle": 1,
   "elem": ["10.0.0.9", {"elem": {"val": "10.77.0.2", "comment": "tamrin-abc"}}]}},
 {"set": {"family": "inet", "name": "ipv6_addr", "table": "tamrin", "type": "ipv6_addr", "handle": 2,
   "elem": [{"elem": {"val": "2001:db8::1", "comment": "tamrin-abc"}}]}},
 {"chain": {"family": "inet", "table": "tamrin", "name": "block", "handle": 3}},
 {"chain": {"family": "inet", "table": "tamrin", "name": "output", "handle": 12, "type": "filter",
   "hook": "output", "prio": 0, "policy": "accept"}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "block", "handle": 15, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "daddr"}}, "right": "@ipv4_addr"}},
   {"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"reject": {"type": "tcp reset"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "block", "handle": 17, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "daddr"}}, "right": "@ipv4_addr"}},
   {"match": {"op": "==", "left": {"payload": {"protocol": "udp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"reject": {"type": "icmp", "expr": "port-unreachable"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "block", "handle": 19, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "ip6", "field": "daddr"}}, "right": "@ipv6_addr"}},
   {"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"reject": {"type": "tcp reset"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "block", "handle": 21, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "ip6", "field": "daddr"}}, "right": "@ipv6_addr"}},
   {"match": {"op": "==", "left": {"payload": {"protocol": "udp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"reject": {"type": "icmpv6", "expr": "port-unreachable"}}]}},
 {"chain": {"family": "inet", "table": "tamrin", "name": "block_original", "handle": 60}},
 {"chain": {"family": "inet", "table": "tamrin", "name": "drop_leaving", "handle": 61}},
 {"chain": {"family": "inet", "table": "tamrin", "name": "output_last", "handle": 62, "type": "filter",
   "hook": "output", "prio": 2147483647, "policy": "accept"}},
 {"chain": {"family": "inet", "table": "tamrin", "name": "forward", "handle": 63, "type": "filter",
   "hook": "forward", "prio": 2147483647, "policy": "accept"}},
 {"chain": {"family": "inet", "table": "tamrin", "name": "postrouting", "handle": 64, "type": "filter",
   "hook": "postrouting", "prio": 2147483647, "policy": "accept"}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "block_original", "handle": 70, "expr": [
   {"match": {"op": "==", "left": {"meta": {"key": "l4proto"}}, "right": "tcp"}},
   {"match": {"op": "==", "left": {"ct": {"key": "direction"}}, "right": "original"}},
   {"match": {"op": "==", "left": {"ct": {"key": "ip daddr", "dir": "original"}}, "right": "@ipv4_addr"}},
   {"match": {"op": "==", "left": {"ct": {"key": "proto-dst", "dir": "original"}}, "right": {"set": ["0x50 [invalid type]", "0x1bb [invalid type]"]}}},
   {"reject": {"type": "tcp reset"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "block_original", "handle": 71, "expr": [
   {"match": {"op": "==", "left": {"meta": {"key": "l4proto"}}, "right": "udp"}},
   {"match": {"op": "==", "left": {"ct": {"key": "direction"}}, "right": "original"}},
   {"match": {"op": "==", "left": {"ct": {"key": "ip daddr", "dir": "original"}}, "right": "@ipv4_addr"}},
   {"match": {"op": "==", "left": {"ct": {"key": "proto-dst", "dir": "original"}}, "right": {"set": ["0x50 [invalid type]", "0x1bb [invalid type]"]}}},
   {"reject": {"type": "icmp", "expr": "port-unreachable"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "block_original", "handle": 72, "expr": [
   {"match": {"op": "==", "left": {"meta": {"key": "l4proto"}}, "right": "tcp"}},
   {"match": {"op": "==", "left": {"ct": {"key": "direction"}}, "right": "original"}},
   {"match": {"op": "==", "left": {"ct": {"key": "ip6 daddr", "dir": "original"}}, "right": "@ipv6_addr"}},
   {"match": {"op": "==", "left": {"ct": {"key": "proto-dst", "dir": "original"}}, "right": {"set": ["0x50 [invalid type]", "0x1bb [invalid type]"]}}},
   {"reject": {"type": "tcp reset"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "block_original", "handle": 73, "expr": [
   {"match": {"op": "==", "left": {"meta": {"key": "l4proto"}}, "right": "udp"}},
   {"match": {"op": "==", "left": {"ct": {"key": "direction"}}, "right": "original"}},
   {"match": {"op": "==", "left": {"ct": {"key": "ip6 daddr", "dir": "original"}}, "right": "@ipv6_addr"}},
   {"match": {"op": "==", "left": {"ct": {"key": "proto-dst", "dir": "original"}}, "right": {"set": ["0x50 [invalid type]", "0x1bb [invalid type]"]}}},
   {"reject": {"type": "icmpv6", "expr": "port-unreachable"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "drop_leaving", "handle": 74, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "daddr"}}, "right": "@ipv4_addr"}},
   {"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"drop": null}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "drop_leaving", "handle": 75, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "daddr"}}, "right": "@ipv4_addr"}},
   {"match": {"op": "==", "left": {"payload": {"protocol": "udp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"drop": null}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "drop_leaving", "handle": 76, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "ip6", "field": "daddr"}}, "right": "@ipv6_addr"}},
   {"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"drop": null}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "drop_leaving", "handle": 77, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "ip6", "field": "daddr"}}, "right": "@ipv6_addr"}},
   {"match": {"op": "==", "left": {"payload": {"protocol": "udp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"drop": null}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "output_last", "handle": 78, "expr": [{"jump": {"target": "block"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "output_last", "handle": 79, "expr": [{"jump": {"target": "block_original"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "forward", "handle": 80, "expr": [{"jump": {"target": "block"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "forward", "handle": 81, "expr": [{"jump": {"target": "block_original"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "postrouting", "handle": 82, "expr": [{"jump": {"target": "drop_leaving"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "output", "handle": 13, "expr": [
   {"jump": {"target": "block"}}]}}]})";

// The listing with `edit` applied to its item list.
std::string edited(const std::function<void(json& items)>& edit) {
  json document = json::parse(kListing);
  edit(document["nftables"]);
  return document.dump();
}

json& itemWithHandle(json& items, const char* kind, int handle) {
  for (json& item : items) {
    if (item.contains(kind) && item[kind]["handle"] == handle) return item;
  }
  throw std::runtime_error("no such item");
}

void eraseWithHandles(json& items, const char* kind, std::initializer_list<int> handles) {
  for (const int handle : handles) {
    const json found = itemWithHandle(items, kind, handle);
    items.erase(std::find(items.begin(), items.end(), found));
  }
}

std::vector<std::string> addressTexts(const AnchorContents& contents) {
  std::vector<std::string> texts;
  for (const ListedAddress& listed : contents.addresses) {
    texts.push_back(listed.address.text() + " " + listed.label);
  }
  return texts;
}

TEST(ParseTableListing, ReadsAddressesLabelsRulesAndTheSwitch) {
  const ParsedTable table = parseTableListing(kListing);
  EXPECT_EQ(
      addressTexts(table.contents),
      (std::vector<std::string>{"10.0.0.9 ", "10.77.0.2 tamrin-abc", "2001:db8::1 tamrin-abc"}));
  EXPECT_EQ(table.contents.rules.size(), 8u);
  EXPECT_TRUE(table.hasBaseChain);
  EXPECT_TRUE(table.enabled);
}

TEST(ParseTableListing, CountsOnlyTheRejectRulesThatAreReallyThere) {
  struct Case {
    const char* name;
    std::function<void(json&)> edit;
    std::set<RejectRule> expected;
  } cases[] = {
      {"UDP rule of IPv4 removed",
       [](json& items) { items.erase(items.begin() + 7); },
       {{AF_INET, Protocol::tcp, 80},
        {AF_INET, Protocol::tcp, 443},
        {AF_INET6, Protocol::tcp, 80},
        {AF_INET6, Protocol::tcp, 443},
        {AF_INET6, Protocol::udp, 80},
        {AF_INET6, Protocol::udp, 443}}},
      {"one port only",
       [](json& items) {
         items.erase(items.begin() + 6, items.begin() + 9);  // rules 15, 17 and 19
         itemWithHandle(items, "rule", 21)["rule"]["expr"][1]["match"]["right"] = 443;
       },
       {{AF_INET6, Protocol::udp, 443}}},
      {"accept instead of reject",
       [](json& items) {
         for (json& item : items) {
           if (item.contains("rule") && item["rule"]["chain"] == "block") {
             item["rule"]["expr"][2] = {{"accept", nullptr}};
           }
         }
       },
       {}},
      {"rule against the other family's set",
       [](json& items) {
         items.erase(items.begin() + 7, items.begin() + 10);
         itemWithHandle(items, "rule", 15)["rule"]["expr"][0]["match"]["right"] = "@ipv6_addr";
       },
       {}},
      {"other ports only",
       [](json& items) {
         items.erase(items.begin() + 7, items.begin() + 10);
         itemWithHandle(items, "rule",
                        15)["rule"]["expr"][1]["match"]["right"] = {{"set", {8080, 22}}};
       },
       {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseTableListing(edited(c.edit)).contents.rules, c.expected) << c.name;
  }
}

TEST(ParseTableListing, IsOnlyEnabledWithExactlyTheJumpInTheBaseChain) {
  struct Case {
    const char* name;
    std::function<void(json&)> edit;
    bool hasBaseChain;
  } cases[] = {
      {"jump removed", [](json& items) { items.erase(items.end() - 1); }, true},
      {"accept added before the jump",
       [](json& items) {
         items.insert(items.end() - 1, json::parse(R"({"rule": {"family": "inet", "table": "tamrin",
             "chain": "output", "handle": 30, "expr": [{"accept": null}]}})"));
       },
       true},
      {"jump to another chain",
       [](json& items) { items.back()["rule"]["expr"][0]["jump"]["target"] = "other"; }, true},
      {"chain not on the output hook",
       [](json& items) { itemWithHandle(items, "chain", 12)["chain"]["hook"] = "input"; }, false},
      {"no base chain",
       [](json& items) {
         items.erase(items.end() - 1);
         items.erase(items.begin() + 5);
       },
       false},
  };
  for (const Case& c : cases) {
    const ParsedTable table = parseTableListing(edited(c.edit));
    EXPECT_FALSE(table.enabled) << c.name;
    EXPECT_EQ(table.hasBaseChain, c.hasBaseChain) << c.name;
  }
}

TEST(ParseTableListing, RefusesWhatIsNotAListing) {
  EXPECT_THROW(parseTableListing("Error: something"), PfctlError);
  EXPECT_THROW(parseTableListing(R"({"tables": []})"), PfctlError);
}

TEST(ListsAnchorTable, FindsOnlyTheInetTamrinTable) {
  EXPECT_TRUE(listsAnchorTable(
      R"({"nftables": [{"metainfo": {}}, {"table": {"family": "inet", "name": "filter"}},
                       {"table": {"family": "inet", "name": "tamrin"}}]})"));
  EXPECT_FALSE(listsAnchorTable(
      R"({"nftables": [{"metainfo": {}}, {"table": {"family": "ip", "name": "tamrin"}}]})"));
  EXPECT_FALSE(listsAnchorTable(R"({"nftables": [{"metainfo": {}}]})"));
}

TEST(ReplaceRulesCommands, RebuildsTheWholeTableInOneText) {
  const RuleSet rules{
      .label = "tamrin-1f",
      .addresses = {addressOf("192.0.2.1"), addressOf("2001:DB8::1"), addressOf("192.0.2.2")}};
  const std::string baseChain =
      "add chain inet tamrin output { type filter hook output priority filter; policy accept; }\n"
      "add rule inet tamrin output jump block\n";
  const std::string elements =
      "add element inet tamrin ipv4_addr { 192.0.2.1 comment \"tamrin-1f\", 192.0.2.2 comment "
      "\"tamrin-1f\" }\n"
      "add element inet tamrin ipv6_addr { 2001:db8::1 comment \"tamrin-1f\" }\n";
  for (const bool switchedOn : {false, true}) {
    const std::string commands = replaceRulesCommands(rules, switchedOn);
    EXPECT_EQ(commands.rfind("add table inet tamrin\ndelete table inet tamrin\nadd table", 0), 0u);
    const std::string tail = elements + (switchedOn ? baseChain : "");
    ASSERT_GE(commands.size(), tail.size());
    EXPECT_EQ(commands.substr(commands.size() - tail.size()), tail) << switchedOn;
    EXPECT_EQ(commands.find("flush"), std::string::npos);
    for (const char* hook : {"hook output priority 2147483647", "hook forward priority 2147483647",
                             "hook postrouting priority 2147483647"}) {
      EXPECT_EQ(commands.find(hook) != std::string::npos, switchedOn) << hook;
    }
  }
  EXPECT_EQ(replaceRulesCommands(RuleSet{}, false).find("add element"), std::string::npos);
}

TEST(ParseTableListing, NotesEverythingTheToolDidNotPutThere) {
  const auto rule = [](const char* chain, const char* expr) {
    return json::parse(std::string(R"({"rule": {"family": "inet", "table": "tamrin", "chain": ")") +
                       chain + R"(", "handle": 40, "expr": )" + expr + "}}");
  };
  struct Case {
    const char* name;
    std::function<void(json&)> edit;
    bool enabled;
  } cases[] = {
      {"return ahead of the rejects",
       [&](json& items) {
         items.insert(items.begin() + 6, rule("block", R"([{"return": null}])"));
       },
       true},
      {"accept after the rejects",
       [&](json& items) { items.insert(items.end() - 1, rule("block", R"([{"accept": null}])")); },
       true},
      {"accept ahead of the jump",
       [&](json& items) { items.insert(items.end() - 1, rule("output", R"([{"accept": null}])")); },
       false},
      {"rejects reordered", [](json& items) { std::swap(items[6], items[7]); }, true},
      {"a fifth reject", [](json& items) { items.insert(items.begin() + 6, items[6]); }, true},
      {"a chain of someone else",
       [](json& items) {
         items.push_back(json::parse(
             R"({"chain": {"family": "inet", "table": "tamrin", "name": "mine", "handle": 50}})"));
       },
       true},
      {"a set of someone else",
       [](json& items) {
         items.push_back(json::parse(R"({"set": {"family": "inet", "table": "tamrin", "name": "s",
             "type": "ipv4_addr", "handle": 51}})"));
       },
       true},
      {"a counter",
       [](json& items) {
         items.push_back(json::parse(
             R"({"counter": {"family": "inet", "table": "tamrin", "name": "c", "handle": 52}})"));
       },
       true},
      {"table made dormant", [](json& items) { items[1]["table"]["flags"] = "dormant"; }, true},
      {"base chain at another priority",
       [](json& items) { itemWithHandle(items, "chain", 12)["chain"]["prio"] = 10; }, false},
      {"base chain dropping by default",
       [](json& items) { itemWithHandle(items, "chain", 12)["chain"]["policy"] = "drop"; }, false},
      {"a second jump to the rejects",
       [](json& items) {
         const json jump = items.back();
         items.push_back(jump);
       },
       false},
      {"forward no longer rejects by the original destination",
       [](json& items) { eraseWithHandles(items, "rule", {81}); }, true},
      {"chain postrouting deleted",
       [](json& items) {
         eraseWithHandles(items, "rule", {82});
         eraseWithHandles(items, "chain", {64});
       },
       true},
      {"chain output_last at priority 0",
       [](json& items) { itemWithHandle(items, "chain", 62)["chain"]["prio"] = 0; }, true},
      {"original destination port 8080 instead of 80",
       [](json& items) {
         itemWithHandle(items, "rule", 70)["rule"]["expr"][3]["match"]["right"]["set"][0] =
             "0x1f90 [invalid type]";
       },
       true},
      {"original destination matched in both directions",
       [](json& items) {
         json& expressions = itemWithHandle(items, "rule", 71)["rule"]["expr"];
         expressions.erase(expressions.begin() + 1);
       },
       true},
      {"accept instead of a drop as the packet leaves",
       [](json& items) {
         itemWithHandle(items, "rule", 74)["rule"]["expr"][2] = {{"accept", nullptr}};
       },
       true},
      {"return ahead of the drops",
       [&](json& items) {
         const json first = itemWithHandle(items, "rule", 74);
         items.insert(std::find(items.begin(), items.end(), first),
                      rule("drop_leaving", R"([{"return": null}])"));
       },
       true},
      {"late chains left on a table switched off",
       [](json& items) {
         eraseWithHandles(items, "rule", {13});
         eraseWithHandles(items, "chain", {12});
       },
       false},
  };
  EXPECT_TRUE(parseTableListing(kListing).contents.unexpected.empty());
  // Switched off: no base chain at all, and that is as the tool leaves it.
  const ParsedTable off = parseTableListing(edited([](json& items) {
    eraseWithHandles(items, "rule", {13, 78, 79, 80, 81, 82});
    eraseWithHandles(items, "chain", {12, 62, 63, 64});
  }));
  EXPECT_TRUE(off.contents.unexpected.empty());
  EXPECT_FALSE(off.hasBaseChain);
  // Without /etc/protocols nftables lists the protocols by number.
  const ParsedTable numbered = parseTableListing(edited([](json& items) {
    itemWithHandle(items, "rule", 70)["rule"]["expr"][0]["match"]["right"] = 6;
    itemWithHandle(items, "rule", 73)["rule"]["expr"][0]["match"]["right"] = 17;
  }));
  EXPECT_TRUE(numbered.contents.unexpected.empty());
  const ParsedTable swapped = parseTableListing(edited([](json& items) {
    itemWithHandle(items, "rule", 70)["rule"]["expr"][0]["match"]["right"] = 17;
  }));
  EXPECT_FALSE(swapped.contents.unexpected.empty());
  for (const Case& c : cases) {
    const ParsedTable table = parseTableListing(edited(c.edit));
    EXPECT_FALSE(table.contents.unexpected.empty()) << c.name;
    EXPECT_EQ(table.enabled, c.enabled) << c.name;
  }
  // Another table's rules are none of its business.
  const ParsedTable foreign = parseTableListing(edited([&](json& items) {
    json other = rule("block", R"([{"accept": null}])");
    other["rule"]["table"] = "filter";
    items.push_back(other);
  }));
  EXPECT_TRUE(foreign.contents.unexpected.empty());
}

// Answers list commands with canned JSON and records every other transaction.
class FakeNftables : public Nftables {
 public:
  std::string run(std::string_view commands) override {
    if (commands.starts_with("list ") && !table) {
      throw PfctlError("nftables: No such file or directory");
    }
    if (commands == "list table inet tamrin") {
      // As nftables 1.0.6 prints a table made dormant: cut short after "flags".
      return cutAfterFlags ? table->substr(0, table->find("\"flags\":") + 8) : *table;
    }
    for (const std::string chain : {"output", "block", "names"}) {
      if (commands != "list chain inet tamrin " + chain) continue;
      return only([&](const json& item) {
        return (item.contains("chain") && item["chain"]["name"] == chain) ||
               (item.contains("rule") && item["rule"]["chain"] == chain);
      });
    }
    for (const std::string set : {"ipv4_addr", "ipv6_addr", "record"}) {
      if (commands != "list set inet tamrin " + set) continue;
      return only(
          [&](const json& item) { return item.contains("set") && item["set"]["name"] == set; });
    }
    transactions.emplace_back(commands);
    return {};
  }
  std::optional<std::string> table;
  bool cutAfterFlags = false;
  std::vector<std::string> transactions;

 private:
  // The items of the table's listing that `keep` selects.
  std::string only(const std::function<bool(const json&)>& keep) const {
    json items = json::array();
    const json listing = json::parse(table.value_or(R"({"nftables": []})"));
    for (const json& item : listing["nftables"]) {
      if (keep(item)) items.push_back(item);
    }
    return json{{"nftables", items}}.dump();
  }
};

TEST(NftablesAnchor, ReadsNothingAndRemovesNothingWhenTheTableIsMissing) {
  FakeNftables nftables;
  NftablesAnchor anchor(nftables);
  EXPECT_FALSE(anchor.isEnabled());
  EXPECT_TRUE(anchor.contents().addresses.empty());
  anchor.switchOff();
  EXPECT_TRUE(nftables.transactions.empty());
}

TEST(NftablesAnchor, RemovesTheBaseChainOnlyWhenItExists) {
  FakeNftables nftables;
  NftablesAnchor anchor(nftables);
  nftables.table = edited([](json& items) {
    items.erase(items.end() - 1);
    items.erase(items.begin() + 5);
  });
  EXPECT_FALSE(anchor.isEnabled());
  anchor.switchOff();
  EXPECT_TRUE(nftables.transactions.empty());

  nftables.table = edited([](json& items) {
    items.insert(items.end() - 1, json::parse(R"({"rule": {"family": "inet", "table": "tamrin",
        "chain": "output", "handle": 30, "expr": [{"accept": null}]}})"));
  });
  EXPECT_FALSE(anchor.isEnabled());
  nftables.table = std::string(kListing);
  EXPECT_TRUE(anchor.isEnabled());
  anchor.switchOff();
  ASSERT_EQ(nftables.transactions.size(), 1u);
  const std::string& commands = nftables.transactions[0];
  EXPECT_NE(commands.find("delete table inet tamrin\n"), std::string::npos);
  EXPECT_EQ(commands.find("hook output"), std::string::npos);
  EXPECT_NE(commands.find("10.77.0.2 comment \"tamrin-abc\""), std::string::npos)
      << "the addresses stay";
}

TEST(NftablesAnchor, SwitchesOnWithTheWholeSkeletonAndOneJump) {
  FakeNftables nftables;
  NftablesAnchor(nftables).switchOn();
  ASSERT_EQ(nftables.transactions.size(), 1u);
  const std::string& commands = nftables.transactions[0];
  EXPECT_EQ(commands.rfind("add table inet tamrin\n", 0), 0u);
  EXPECT_NE(commands.find("add set inet tamrin ipv4_addr { type ipv4_addr; }\n"),
            std::string::npos);
  const std::string tail =
      "add chain inet tamrin output { type filter hook output priority filter; policy accept; }\n"
      "add rule inet tamrin output jump block\n";
  EXPECT_EQ(commands.substr(commands.size() - tail.size()), tail);

  // Over a tampered table: one rebuild that keeps the addresses and drops the rest.
  nftables.transactions.clear();
  nftables.table = edited([](json& items) { items[1]["table"]["flags"] = "dormant"; });
  NftablesAnchor(nftables).switchOn();
  ASSERT_EQ(nftables.transactions.size(), 1u);
  EXPECT_EQ(nftables.transactions[0],
            switchOnCommands(parseTableListing(kListing).contents.addresses));

  // A listing cut short by nftables itself: read from its parts, never taken as ours.
  nftables.transactions.clear();
  nftables.cutAfterFlags = true;
  const AnchorContents cut = NftablesAnchor(nftables).contents();
  EXPECT_EQ(addressTexts(cut), addressTexts(parseTableListing(kListing).contents));
  EXPECT_EQ(cut.rules, parseTableListing(kListing).contents.rules);
  EXPECT_FALSE(cut.unexpected.empty());
  NftablesAnchor(nftables).switchOn();
  ASSERT_EQ(nftables.transactions.size(), 1u);
  EXPECT_EQ(nftables.transactions[0],
            switchOnCommands(parseTableListing(kListing).contents.addresses));
}

TEST(RecordSet, SpellsTheRecordInPiecesThatRebuildsKeepAndListingsIgnore) {
  const std::string text = std::string(250, 'x') + ",d=example.com";
  const std::string commands = recordSetCommands(text);
  EXPECT_EQ(commands.rfind("add set inet tamrin record { type mark; }\n", 0), 0u);
  EXPECT_NE(commands.find("0 comment \"" + text.substr(0, 120) + "\", 1 comment"),
            std::string::npos);
  EXPECT_NE(commands.find("2 comment \"" + text.substr(240) + "\" }\n"), std::string::npos);
  EXPECT_EQ(recordSetCommands(""), "");

  // Listed out of order, a mark in hexadecimal: the text comes back, and nothing is unexpected.
  const auto withRecord = [](const char* elements) {
    return edited([&](json& items) {
      items.push_back(json::parse(std::string(R"({"set": {"family": "inet", "name": "record",
          "table": "tamrin", "type": "mark", "handle": 9, "elem": )") +
                                  elements + "}}"));
    });
  };
  const std::string listed = withRecord(
      R"([{"elem": {"val": 1, "comment": ",d=a.org"}}, {"elem": {"val": "0x00000000",
          "comment": "tamrin-block-record-1"}}])");
  const ParsedTable table = parseTableListing(listed);
  EXPECT_EQ(table.record, "tamrin-block-record-1,d=a.org");
  EXPECT_TRUE(table.contents.unexpected.empty());
  EXPECT_EQ(formatRuleListing(table.contents),
            formatRuleListing(parseTableListing(kListing).contents));
  EXPECT_EQ(parseTableListing(withRecord(R"([{"elem": {"val": 1, "comment": "x"}}])")).record, "")
      << "a missing piece";
  EXPECT_EQ(parseTableListing(withRecord(R"([{"elem": {"val": 0, "comment": "a b"}}])")).record, "")
      << "a character no record holds";

  FakeNftables nftables;
  nftables.table = listed;
  NftablesAnchor(nftables).switchOff();
  ASSERT_EQ(nftables.transactions.size(), 1u);
  EXPECT_NE(nftables.transactions[0].find(recordSetCommands("tamrin-block-record-1,d=a.org")),
            std::string::npos);
  EXPECT_THROW(requireRecordText("a\"b"), PfctlError);
  EXPECT_THROW(requireRecordText(std::string(kMaxRecordTextBytes + 1, 'a')), PfctlError);
}

TEST(NftablesAnchor, AddsAddressesAndRelabelsTheSetsWithoutTouchingChainsOrRules) {
  FakeNftables nftables;
  NftablesAnchor anchor(nftables);
  EXPECT_THROW(anchor.addAddresses({addressOf("10.77.0.4")}), PfctlError);
  EXPECT_TRUE(nftables.transactions.empty());

  nftables.table = std::string(kListing);
  anchor.addAddresses({addressOf("10.77.0.4"), addressOf("10.77.0.2")});
  const std::string label =
      packetFilterRuleLabel({"10.0.0.9", "10.77.0.2", "10.77.0.4", "2001:db8::1"});
  const std::string l = " comment \"" + label + "\"";
  EXPECT_EQ(
      nftables.transactions,
      std::vector<std::string>{"delete element inet tamrin ipv4_addr { 10.0.0.9, 10.77.0.2 }\n"
                               "add element inet tamrin ipv4_addr { 10.0.0.9" +
                               l + ", 10.77.0.2" + l + ", 10.77.0.4" + l +
                               " }\n"
                               "delete element inet tamrin ipv6_addr { 2001:db8::1 }\n"
                               "add element inet tamrin ipv6_addr { 2001:db8::1" +
                               l + " }\n"});

  // Already there with the label of the whole set: nothing to do.
  AnchorContents current;
  for (const char* text : {"10.77.0.2", "fd77::2"}) {
    current.addresses.push_back({addressOf(text), packetFilterRuleLabel({"10.77.0.2", "fd77::2"})});
  }
  EXPECT_EQ(addAddressesCommands(current, {addressOf("fd77::2")}), "");
  EXPECT_NE(addAddressesCommands(current, {addressOf("10.77.0.3")})
                .find("delete element inet tamrin ipv6_addr { fd77::2 }\n"),
            std::string::npos)
      << "changing the label replaces the IPv6 element too";
}

// The chains of the names table as the kernel lists them after "-t names -T add".
constexpr std::string_view kNamesItems = R"([
 {"chain": {"family": "inet", "table": "tamrin", "name": "names", "handle": 90}},
 {"chain": {"family": "inet", "table": "tamrin", "name": "names_output", "handle": 91, "type": "filter",
   "hook": "output", "prio": 2147483647, "policy": "accept"}},
 {"chain": {"family": "inet", "table": "tamrin", "name": "names_forward", "handle": 92, "type": "filter",
   "hook": "forward", "prio": 2147483647, "policy": "accept"}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "names", "handle": 93, "expr": [
   {"match": {"op": "==", "left": {"meta": {"key": "l4proto"}}, "right": "tcp"}},
   {"match": {"op": "==", "left": {"ct": {"key": "direction"}}, "right": "original"}},
   {"match": {"op": "==", "left": {"&": [{"ct": {"key": "mark"}}, 100663296]}, "right": 100663296}},
   {"reject": {"type": "tcp reset"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "names", "handle": 94, "expr": [
   {"match": {"op": "==", "left": {"meta": {"key": "l4proto"}}, "right": "udp"}},
   {"match": {"op": "==", "left": {"ct": {"key": "direction"}}, "right": "original"}},
   {"match": {"op": "==", "left": {"&": [{"ct": {"key": "mark"}}, 100663296]}, "right": 100663296}},
   {"reject": {"type": "icmpx", "expr": "port-unreachable"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "names", "handle": 95, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"match": {"op": "==", "left": {"ct": {"key": "state"}}, "right": {"set": ["established", "new"]}}},
   {"match": {"op": "==", "left": {"ct": {"key": "direction"}}, "right": "original"}},
   {"match": {"op": "==", "left": {"&": [{"ct": {"key": "mark"}}, 100663296]}, "right": 0}},
   {"match": {"op": "!=", "left": {"concat": [
     {"payload": {"protocol": "ip", "field": "length"}},
     {"payload": {"base": "th", "offset": 96, "len": 8}}]},
    "right": {"set": [
     {"concat": [40, 80]}, {"concat": [44, 96]}, {"concat": [48, 112]}, {"concat": [52, 128]},
     {"concat": [56, 144]}, {"concat": [60, 160]}, {"concat": [64, 176]}, {"concat": [68, 192]},
     {"concat": [72, 208]}, {"concat": [76, 224]}, {"concat": [80, 240]}]}}},
   {"log": {"group": 7461}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "names", "handle": 99, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}}, "right": {"set": [80, 443]}}},
   {"match": {"op": "==", "left": {"ct": {"key": "state"}}, "right": {"set": ["established", "new"]}}},
   {"match": {"op": "==", "left": {"ct": {"key": "direction"}}, "right": "original"}},
   {"match": {"op": "==", "left": {"&": [{"ct": {"key": "mark"}}, 100663296]}, "right": 0}},
   {"match": {"op": "!=", "left": {"concat": [
     {"payload": {"protocol": "ip6", "field": "length"}},
     {"payload": {"base": "th", "offset": 96, "len": 8}}]},
    "right": {"set": [
     {"concat": [20, 80]}, {"concat": [24, 96]}, {"concat": [28, 112]}, {"concat": [32, 128]},
     {"concat": [36, 144]}, {"concat": [40, 160]}, {"concat": [44, 176]}, {"concat": [48, 192]},
     {"concat": [52, 208]}, {"concat": [56, 224]}, {"concat": [60, 240]}]}}},
   {"log": {"group": 7461}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "names", "handle": 96, "expr": [
   {"match": {"op": "==", "left": {"payload": {"protocol": "udp", "field": "dport"}}, "right": 443}},
   {"match": {"op": "==", "left": {"ct": {"key": "direction"}}, "right": "original"}},
   {"match": {"op": "==", "left": {"&": [{"ct": {"key": "mark"}}, 100663296]}, "right": 0}},
   {"log": {"group": 7461}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "names_output", "handle": 97, "expr": [{"jump": {"target": "names"}}]}},
 {"rule": {"family": "inet", "table": "tamrin", "chain": "names_forward", "handle": 98, "expr": [{"jump": {"target": "names"}}]}}])";

// The full listing with the names chains, then `edit` applied.
std::string withNames(const std::function<void(json& items)>& edit = [](json&) {}) {
  return edited([&](json& items) {
    for (const json& item : json::parse(kNamesItems)) items.push_back(item);
    edit(items);
  });
}

TEST(ParseTableListing, KnowsTheNamesChainsOnlyExactlyAsWritten) {
  struct Case {
    const char* name;
    std::string listing;
    bool inspecting;
    std::vector<std::string> unexpected;
  };
  const auto ruleWithHandle = [](json& items, int handle) -> json& {
    return itemWithHandle(items, "rule", handle)["rule"]["expr"];
  };
  const Case cases[] = {
      {"none", std::string(kListing), false, {}},
      {"exact", withNames(), true, {}},
      {"protocols by number",
       withNames([&](json& items) {
         ruleWithHandle(items, 93)[0]["match"]["right"] = 6;
         ruleWithHandle(items, 94)[0]["match"]["right"] = 17;
       }),
       true,
       {}},
      {"a copy rule missing",
       withNames([](json& items) { eraseWithHandles(items, "rule", {96}); }),
       true,
       {"rules of chain names"}},
      {"bare acknowledgements copied too",
       withNames([&](json& items) { ruleWithHandle(items, 99).erase(4); }),
       true,
       {"rules of chain names"}},
      {"a SYN with data not copied (the previous build's rule)",
       withNames([&](json& items) {
         ruleWithHandle(items, 95)[1]["match"] = {
             {"op", "in"}, {"left", {{"ct", {{"key", "state"}}}}}, {"right", "established"}};
       }),
       true,
       {"rules of chain names"}},
      {"another group",
       withNames([&](json& items) { ruleWithHandle(items, 95)[5]["log"]["group"] = 7462; }),
       true,
       {"rules of chain names"}},
      {"the passed mark rejected",
       withNames(
           [&](json& items) { ruleWithHandle(items, 93)[2]["match"]["right"] = kFlowMarkPassed; }),
       true,
       {"rules of chain names"}},
      {"without the forward hook",
       withNames([](json& items) {
         eraseWithHandles(items, "rule", {98});
         eraseWithHandles(items, "chain", {92});
       }),
       true,
       {"chain names_forward missing"}},
      {"only a hook left",
       withNames([](json& items) {
         eraseWithHandles(items, "rule", {93, 94, 95, 96, 97, 98, 99});
         eraseWithHandles(items, "chain", {90, 92});
       }),
       true,
       {"rules of chain names_output", "chain names missing", "chain names_forward missing"}},
      {"an early priority",
       withNames([](json& items) { itemWithHandle(items, "chain", 91)["chain"]["prio"] = 0; }),
       true,
       {"type, hook, priority or policy of chain names_output"}},
  };
  for (const Case& c : cases) {
    const ParsedTable table = parseTableListing(c.listing);
    std::vector<std::string> sorted = table.contents.unexpected, expected = c.unexpected;
    std::sort(sorted.begin(), sorted.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted, expected) << c.name;
    EXPECT_EQ(table.inspectingNames, c.inspecting) << c.name;
    EXPECT_EQ(table.namesExact, c.inspecting && c.unexpected.empty()) << c.name;
    EXPECT_EQ(table.contents.rules, parseTableListing(kListing).contents.rules)
        << c.name << ": the names chains add no rule line of their own";
  }
}

TEST(NftablesAnchor, InspectsNamesOnlyWhenAskedAndKeepsThemThroughRebuilds) {
  FakeNftables nftables;
  NftablesAnchor anchor(nftables);
  anchor.inspectNames(false);
  EXPECT_TRUE(nftables.transactions.empty()) << "no table, nothing to remove";
  anchor.inspectNames(true);
  ASSERT_EQ(nftables.transactions.size(), 1u);
  EXPECT_EQ(nftables.transactions[0], tableCommands({}, false, {}, true));
  EXPECT_NE(nftables.transactions[0].find(namesChainCommands()), std::string::npos);

  nftables.transactions.clear();
  nftables.table = withNames();
  EXPECT_TRUE(anchor.namesInspected());
  anchor.inspectNames(true);
  EXPECT_TRUE(nftables.transactions.empty()) << "already in place";
  const auto addresses = parseTableListing(kListing).contents.addresses;
  anchor.flushRules();
  anchor.switchOff();
  anchor.inspectNames(false);
  ASSERT_EQ(nftables.transactions.size(), 3u);
  EXPECT_EQ(nftables.transactions[0], tableCommands({}, true, {}, true));
  EXPECT_EQ(nftables.transactions[1], tableCommands(addresses, false, {}, true));
  EXPECT_EQ(nftables.transactions[2], tableCommands(addresses, true, {}, false));

  nftables.table = withNames([](json& items) { eraseWithHandles(items, "rule", {96}); });
  EXPECT_FALSE(anchor.namesInspected());
  nftables.transactions.clear();
  anchor.inspectNames(true);
  ASSERT_EQ(nftables.transactions.size(), 1u) << "a damaged names chain is rewritten";
}

TEST(TableCommands, KeepsATableForTheNamesAloneAndDeletesItWithout) {
  EXPECT_EQ(tableCommands({}, false), "add table inet tamrin\ndelete table inet tamrin\n");
  const std::string names = tableCommands({}, false, {}, true);
  EXPECT_NE(names.find("add chain inet tamrin block\n"), std::string::npos);
  EXPECT_EQ(names.find("hook output priority filter"), std::string::npos);
  EXPECT_NE(names.find("names udp dport 443 ct direction original ct mark and 0x06000000 == 0 "
                       "log group 7461\n"),
            std::string::npos);
}

}  // namespace
}  // namespace tamrin
