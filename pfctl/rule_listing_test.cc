#include "pfctl/rule_listing.h"

#include <gtest/gtest.h>

namespace tamrin {
namespace {

IpAddress addressOf(const std::string& text) {
  return *IpAddress::parse(text, text.find(':') == std::string::npos ? AF_INET : AF_INET6);
}

ListedAddress listed(const std::string& text, const std::string& label) {
  return {addressOf(text), label};
}

std::set<RejectRule> allRules() {
  std::set<RejectRule> rules;
  for (int family : {AF_INET, AF_INET6}) {
    for (Protocol protocol : {Protocol::tcp, Protocol::udp}) {
      for (int port : {80, 443}) rules.insert({family, protocol, port});
    }
  }
  return rules;
}

TEST(FormatRuleListing, PrintsFourLinesPerAddressSortedByText) {
  const AnchorContents contents{
      .addresses = {listed("2001:DB8::1", "tamrin-f0"), listed("192.0.2.10", "tamrin-f0"),
                    listed("192.0.2.9", "tamrin-f0")},
      .rules = allRules(),
      .unexpected = {},
  };
  const std::string prefix = "block return out quick ";
  std::string expected;
  for (const auto& [family, address] :
       {std::pair{"inet", "192.0.2.10"}, {"inet", "192.0.2.9"}, {"inet6", "2001:db8::1"}}) {
    for (const auto& [protocol, port] :
         {std::pair{"tcp", "80"}, {"tcp", "443"}, {"udp", "80"}, {"udp", "443"}}) {
      expected += prefix + family + " proto " + protocol + " from any to " + address +
                  " port = " + port + " label \"tamrin-f0\"\n";
    }
  }
  EXPECT_EQ(formatRuleListing(contents), expected);
}

TEST(FormatRuleListing, ShowsOnlyTheRulesTheChainHoldsAndEachAddressesOwnLabel) {
  const AnchorContents contents{
      .addresses = {listed("192.0.2.1", "tamrin-1"), listed("192.0.2.2", ""),
                    listed("2001:db8::1", "tamrin-1")},
      .rules = {{AF_INET, Protocol::udp, 443}, {AF_INET6, Protocol::tcp, 80}},
      .unexpected = {},
  };
  EXPECT_EQ(formatRuleListing(contents),
            "block return out quick inet proto udp from any to 192.0.2.1 port = 443 label "
            "\"tamrin-1\"\n"
            "block return out quick inet proto udp from any to 192.0.2.2 port = 443 label \"\"\n"
            "block return out quick inet6 proto tcp from any to 2001:db8::1 port = 80 label "
            "\"tamrin-1\"\n");
}

TEST(FormatRuleListing, IsEmptyWithoutAddressesOrWithoutRules) {
  EXPECT_EQ(formatRuleListing({.addresses = {}, .rules = allRules(), .unexpected = {}}), "");
  EXPECT_EQ(formatRuleListing(
                {.addresses = {listed("192.0.2.1", "tamrin-1")}, .rules = {}, .unexpected = {}}),
            "");
}

TEST(FormatRuleListing, ReportsWhatIsUnexpectedOnLinesOfTheirOwn) {
  const std::string listing =
      formatRuleListing({.addresses = {},
                         .rules = {},
                         .unexpected = {"chain mine", "rule 1 of chain block: return"}});
  EXPECT_EQ(listing, "unexpected: chain mine\nunexpected: rule 1 of chain block: return\n");
}

}  // namespace
}  // namespace tamrin
