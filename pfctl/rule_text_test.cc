#include "pfctl/rule_text.h"

#include <gtest/gtest.h>

#include "core/packet_filter_rules.h"
#include "pfctl/pfctl_error.h"

namespace tamrin {
namespace {

std::string line(const std::string& family, const std::string& address,
                 const std::string& label = "tamrin-714ef6f9d3c78218") {
  return "block return out quick " + family + " proto { tcp udp } from any to " + address +
         " port { 80 443 } label \"" + label + "\"";
}

std::vector<std::string> textsOf(const RuleSet& rules) {
  std::vector<std::string> texts;
  for (const IpAddress& address : rules.addresses) texts.push_back(address.text());
  return texts;
}

TEST(ParseRuleText, ReadsWhatTheRuleBuilderWrites) {
  const std::vector<std::string> addresses = {"2001:db8::1", "192.0.2.1", "198.51.100.7",
                                              "192.0.2.1", "::ffff:192.0.2.9"};
  const RuleSet rules = parseRuleText(packetFilterRules(addresses));
  EXPECT_EQ(rules.label, packetFilterRuleLabel(addresses));
  EXPECT_EQ(textsOf(rules), (std::vector<std::string>{"192.0.2.1", "198.51.100.7", "2001:db8::1",
                                                      "::ffff:192.0.2.9"}));
  EXPECT_EQ(rules.addresses[2].family, AF_INET6);
}

TEST(ParseRuleText, AcceptsTheEmptyTextAndALastLineWithoutLineFeed) {
  const RuleSet empty = parseRuleText("");
  EXPECT_TRUE(empty.addresses.empty());
  EXPECT_EQ(empty.label, "");

  const RuleSet rules = parseRuleText(line("inet", "192.0.2.1"));
  EXPECT_EQ(textsOf(rules), std::vector<std::string>{"192.0.2.1"});
  EXPECT_EQ(rules.label, "tamrin-714ef6f9d3c78218");
}

TEST(ParseRuleText, KeepsOneAddressForTwoSpellingsOfIt) {
  const RuleSet rules =
      parseRuleText(line("inet6", "2001:db8::1") + "\n" + line("inet6", "2001:DB8:0::1") + "\n");
  EXPECT_EQ(textsOf(rules), std::vector<std::string>{"2001:db8::1"});
}

TEST(ParseRuleText, RefusesTheFirstBadLineWithItsNumber) {
  const std::string good = line("inet", "192.0.2.1") + "\n";
  struct Case {
    std::string text;
    std::string expected;  // the message starts with this
  } cases[] = {
      {"\n", "line 1: not a rule line"},
      {good + "\n" + good, "line 2: not a rule line"},
      {good + good + "# comment\n", "line 3: not a rule line"},
      {good + "pass out quick all\n", "line 2: not a rule line"},
      {line("inet", "192.0.2.1") + "\r\n", "line 1: not a rule line"},
      {" " + good, "line 1: not a rule line"},
      {good + line("inet", "192.0.2.2") + " \n", "line 2: not a rule line"},
      {"block return out quick inet proto { tcp } from any to 192.0.2.1 port { 80 443 } label "
       "\"tamrin-1\"\n",
       "line 1: not a rule line"},
      {"block return out quick inet proto { tcp udp } from any to 192.0.2.1 port { 80 } label "
       "\"tamrin-1\"\n",
       "line 1: not a rule line"},
      {"block drop out quick inet proto { tcp udp } from any to 192.0.2.1 port { 80 443 } label "
       "\"tamrin-1\"\n",
       "line 1: not a rule line"},
      {"block return out quick inet proto { tcp udp } from any to 192.0.2.1 port { 80 443 }\n",
       "line 1: not a rule line"},
      {"block return out quick inet proto { tcp udp } from any to 192.0.2.1 port { 80 443 } label "
       "\"tamrin-1\n",
       "line 1: not a rule line"},
      {"block return out quick inet4 proto { tcp udp } from any to 192.0.2.1 port { 80 443 } "
       "label \"tamrin-1\"\n",
       "line 1: not a rule line"},
      {good + line("inet", "2001:db8::1") + "\n", "line 2: \"2001:db8::1\" is not an IPv4"},
      {line("inet6", "192.0.2.1") + "\n", "line 1: \"192.0.2.1\" is not an IPv6"},
      {line("inet", "192.0.2.0/24") + "\n", "line 1: \"192.0.2.0/24\" is not an IPv4"},
      {line("inet", "example.com") + "\n", "line 1: \"example.com\" is not an IPv4"},
      {line("inet6", "fe80::1%lo") + "\n", "line 1: \"fe80::1%lo\" is not an IPv6"},
      {line("inet", "192.0.2.1 ") + "\n", "line 1: \"192.0.2.1 \" is not an IPv4"},
      {line("inet", "") + "\n", "line 1: \"\" is not an IPv4"},
      {line("inet", "192.0.2.1", "") + "\n", "line 1: label \"\" is not"},
      {line("inet", "192.0.2.1", "tamrin-") + "\n", "line 1: label \"tamrin-\" is not"},
      {line("inet", "192.0.2.1", "tamrin-ABC") + "\n", "line 1: label \"tamrin-ABC\" is not"},
      {line("inet", "192.0.2.1", "tamrin-00000000000000000") + "\n", "line 1: label"},
      {line("inet", "192.0.2.1", "other-1") + "\n", "line 1: label \"other-1\" is not"},
      {line("inet", "192.0.2.1", "tamrin-1\" quick \"x") + "\n", "line 1: label"},
      {good + line("inet", "192.0.2.2", "tamrin-2") + "\n",
       "line 2: label \"tamrin-2\" differs from \"tamrin-714ef6f9d3c78218\" of line 1"},
  };
  for (const Case& c : cases) {
    try {
      parseRuleText(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const PfctlError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.expected, 0), 0u)
          << "text: " << c.text << "message: " << error.what();
    }
  }
}

}  // namespace
}  // namespace tamrin
