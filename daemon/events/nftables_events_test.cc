#include "daemon/events/nftables_events.h"

#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>

#include <cstdint>
#include <vector>

namespace tamrin {
namespace {

// Appends one nftables event message of `type` for `family` naming `table` (none when null).
void putMessage(std::vector<char>& buffer, uint16_t type, uint8_t family, const char* table) {
  const std::size_t offset = buffer.size();
  buffer.resize(offset + 256);
  nlmsghdr* message = mnl_nlmsg_put_header(buffer.data() + offset);
  message->nlmsg_type = (NFNL_SUBSYS_NFTABLES << 8) | type;
  auto* header = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
  header->nfgen_family = family;
  if (table != nullptr) mnl_attr_put_strz(message, NFTA_RULE_TABLE, table);
  buffer.resize(offset + message->nlmsg_len);
}

TEST(ConcernsAnchorTable, OnlyEventsOfTheInetTamrinTableCount) {
  struct Message {
    uint16_t type;
    uint8_t family;
    const char* table;
  };
  struct Case {
    const char* name;
    std::vector<Message> messages;
    bool expected;
  } const cases[] = {
      {"a rule of ours", {{NFT_MSG_NEWRULE, NFPROTO_INET, "tamrin"}}, true},
      {"our table deleted", {{NFT_MSG_DELTABLE, NFPROTO_INET, "tamrin"}}, true},
      {"an element deleted", {{NFT_MSG_DELSETELEM, NFPROTO_INET, "tamrin"}}, true},
      {"another table", {{NFT_MSG_NEWTABLE, NFPROTO_INET, "noise"}}, false},
      {"same name, other family", {{NFT_MSG_NEWCHAIN, NFPROTO_IPV4, "tamrin"}}, false},
      {"a new generation alone", {{NFT_MSG_NEWGEN, NFPROTO_UNSPEC, nullptr}}, false},
      {"no table named", {{NFT_MSG_NEWRULE, NFPROTO_INET, nullptr}}, true},
      {"no message at all", {}, false},
      {"ours after others",
       {{NFT_MSG_NEWTABLE, NFPROTO_INET, "noise"},
        {NFT_MSG_DELTABLE, NFPROTO_INET, "noise"},
        {NFT_MSG_NEWRULE, NFPROTO_INET, "tamrin"},
        {NFT_MSG_NEWGEN, NFPROTO_UNSPEC, nullptr}},
       true},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer;
    for (const Message& m : c.messages) putMessage(buffer, m.type, m.family, m.table);
    EXPECT_EQ(concernsAnchorTable(buffer.data(), buffer.size()), c.expected) << c.name;
  }
}

// A message of another netfilter subsystem, or one too short for its header.
TEST(ConcernsAnchorTable, OtherSubsystemsDoNotCountAndAShortMessageDoes) {
  std::vector<char> buffer(256);
  nlmsghdr* message = mnl_nlmsg_put_header(buffer.data());
  message->nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | 0;
  mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg));
  EXPECT_FALSE(concernsAnchorTable(buffer.data(), message->nlmsg_len)) << "conntrack";
  message = mnl_nlmsg_put_header(buffer.data());
  message->nlmsg_type = (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_DELRULE;
  EXPECT_TRUE(concernsAnchorTable(buffer.data(), message->nlmsg_len)) << "no family, no table";
}

}  // namespace
}  // namespace tamrin
