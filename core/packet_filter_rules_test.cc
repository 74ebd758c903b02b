#include "core/packet_filter_rules.h"

#include <gtest/gtest.h>

#include "core/tamrin_error.h"

namespace tamrin {
namespace {

using Addresses = std::vector<std::string>;

std::string line(const std::string& family, const std::string& address, const std::string& label) {
  return "block return out quick " + family + " proto { tcp udp } from any to " + address +
         " port { 80 443 } label \"" + label + "\"\n";
}

TEST(PacketFilterRuleLabel, HashesTheDistinctSortedAddresses) {
  struct Case {
    Addresses addresses;
    std::string expected;
  } cases[] = {
      {{}, "tamrin-cbf29ce484222325"},
      {{"192.0.2.1"}, "tamrin-714ef6f9d3c78218"},
      {{"192.0.2.1", "2001:db8::1"}, "tamrin-f08a889e92ecc5ee"},
      {{"2001:db8::1", "192.0.2.1", "192.0.2.1"}, "tamrin-f08a889e92ecc5ee"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(packetFilterRuleLabel(c.addresses), c.expected)
        << testing::PrintToString(c.addresses);
  }
}

TEST(PacketFilterRuleLabel, DiffersForADifferentSet) {
  EXPECT_NE(packetFilterRuleLabel({"192.0.2.1"}), packetFilterRuleLabel({"192.0.2.2"}));
  // The label hashes text, not addresses: another spelling is another set.
  EXPECT_NE(packetFilterRuleLabel({"2001:db8::1"}), packetFilterRuleLabel({"2001:DB8::1"}));
}

TEST(PacketFilterRuleLabel, IsNotPaddedWhenTheHashHasLeadingZeros) {
  // Search small texts for a hash below 2^60; the label then has fewer than 16 digits.
  bool found = false;
  for (int i = 0; i < 200000 && !found; ++i) {
    const std::string label = packetFilterRuleLabel({std::to_string(i)});
    ASSERT_EQ(label.rfind("tamrin-", 0), 0u);
    const std::string digits = label.substr(7);
    ASSERT_FALSE(digits.empty());
    ASSERT_LE(digits.size(), 16u);
    EXPECT_NE(digits.front(), '0') << label;
    EXPECT_EQ(digits.find_first_not_of("0123456789abcdef"), std::string::npos) << label;
    found = digits.size() < 16;
  }
  EXPECT_TRUE(found);
}

TEST(PacketFilterRules, BuildsOneSortedLinePerDistinctAddress) {
  const std::string label2 = "tamrin-f08a889e92ecc5ee";
  EXPECT_EQ(packetFilterRules({"192.0.2.1"}),
            "block return out quick inet proto { tcp udp } from any to 192.0.2.1 port { 80 443 } "
            "label \"tamrin-714ef6f9d3c78218\"\n");
  EXPECT_EQ(packetFilterRules({"2001:db8::1", "192.0.2.1"}),
            line("inet", "192.0.2.1", label2) + line("inet6", "2001:db8::1", label2));
  EXPECT_EQ(packetFilterRules({"192.0.2.1", "2001:db8::1", "192.0.2.1", "2001:db8::1"}),
            line("inet", "192.0.2.1", label2) + line("inet6", "2001:db8::1", label2));

  // Byte order: "10.0.0.1" < "9.0.0.1" < "::1" < "fe80::1"; texts kept as given.
  const Addresses mixed = {"fe80::1", "::1", "9.0.0.1", "10.0.0.1", "::ffff:192.0.2.1"};
  const std::string label = packetFilterRuleLabel(mixed);
  EXPECT_EQ(packetFilterRules(mixed),
            line("inet", "10.0.0.1", label) + line("inet", "9.0.0.1", label) +
                line("inet6", "::1", label) + line("inet6", "::ffff:192.0.2.1", label) +
                line("inet6", "fe80::1", label));
}

TEST(PacketFilterRules, RefusesEmptyListsAndNonAddresses) {
  try {
    packetFilterRules({});
    ADD_FAILURE() << "empty list accepted";
  } catch (const TamrinError& error) {
    EXPECT_EQ(error.kind(), TamrinError::Kind::domainResolution);
  }

  const std::string invalid[] = {
      "abc",           "",
      " 192.0.2.1",    "192.0.2.1 ",
      "192.0.2.0/24",  "fe80::1%eth0",
      "2001:db8::/32", "192.0.2.256",
      "example.com",   std::string("192.0.2.1\0\n# injected", 21),
  };
  for (const std::string& address : invalid) {
    try {
      packetFilterRules({"192.0.2.1", address, "2001:db8::1"});
      ADD_FAILURE() << "accepted " << testing::PrintToString(address);
    } catch (const TamrinError& error) {
      EXPECT_EQ(error.kind(), TamrinError::Kind::invalidPacketFilterAddress)
          << testing::PrintToString(address);
    }
  }
}

}  // namespace
}  // namespace tamrin
