#include "daemon/enforcement/flow_marks.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>

#include <gtest/gtest.h>

#include <cstring>

#include "core/packet_filter_rules.h"

namespace tamrin {
namespace {

// The value of the attribute `type` at the top of the message, or nullopt.
std::optional<std::uint32_t> topAttribute(const nlmsghdr* header, std::uint16_t type) {
  std::optional<std::uint32_t> found;
  const auto* bytes =
      static_cast<const std::uint8_t*>(mnl_nlmsg_get_payload_offset(header, sizeof(nfgenmsg)));
  const auto* end = reinterpret_cast<const std::uint8_t*>(mnl_nlmsg_get_payload_tail(header));
  while (bytes + sizeof(nlattr) <= end) {
    const auto* attribute = reinterpret_cast<const nlattr*>(bytes);
    if (mnl_attr_get_type(attribute) == type) found = ntohl(mnl_attr_get_u32(attribute));
    bytes += MNL_ALIGN(attribute->nla_len);
  }
  return found;
}

TEST(FlowMarkRequest, ChangesOnlyOurBitsOfAnExistingConnectionByItsOriginalTuple) {
  FlowTuple v4{.protocol = IPPROTO_TCP, .sourcePort = 40000, .destinationPort = 443};
  inet_pton(AF_INET, "10.77.0.1", v4.source.data());
  inet_pton(AF_INET, "10.77.0.2", v4.destination.data());
  FlowTuple v6{.protocol = IPPROTO_UDP, .ipv6 = true, .sourcePort = 5353, .destinationPort = 443};
  inet_pton(AF_INET6, "fd77::1", v6.source.data());
  inet_pton(AF_INET6, "fd77::2", v6.destination.data());
  for (const auto& [flow, mark] :
       {std::pair{v4, kFlowMarkRefused}, std::pair{v6, kFlowMarkPassed}}) {
    SCOPED_TRACE(flow.ipv6);
    std::vector<std::uint8_t> bytes = flowMarkRequest(flow, mark | 0x1, 9);
    const auto* header = reinterpret_cast<const nlmsghdr*>(bytes.data());
    ASSERT_EQ(header->nlmsg_len, bytes.size());
    EXPECT_EQ(header->nlmsg_type, (NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_NEW);
    EXPECT_EQ(header->nlmsg_flags, NLM_F_REQUEST | NLM_F_ACK) << "no NLM_F_CREATE";
    EXPECT_EQ(header->nlmsg_seq, 9u);
    const auto* family = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(header));
    EXPECT_EQ(family->nfgen_family, flow.ipv6 ? AF_INET6 : AF_INET);
    EXPECT_EQ(topAttribute(header, CTA_MARK), mark) << "bits outside the mask are not sent";
    EXPECT_EQ(topAttribute(header, CTA_MARK_MASK), kFlowMarkMask);
    EXPECT_FALSE(topAttribute(header, CTA_TUPLE_REPLY)) << "looked up by the original direction";

    nf_conntrack* parsed = nfct_new();
    ASSERT_EQ(nfct_nlmsg_parse(header, parsed), 0);
    EXPECT_EQ(nfct_get_attr_u8(parsed, ATTR_L4PROTO), flow.protocol);
    EXPECT_EQ(ntohs(nfct_get_attr_u16(parsed, ATTR_PORT_SRC)), flow.sourcePort);
    EXPECT_EQ(ntohs(nfct_get_attr_u16(parsed, ATTR_PORT_DST)), flow.destinationPort);
    const auto* source = static_cast<const std::uint8_t*>(
        nfct_get_attr(parsed, flow.ipv6 ? ATTR_IPV6_SRC : ATTR_IPV4_SRC));
    const auto* destination = static_cast<const std::uint8_t*>(
        nfct_get_attr(parsed, flow.ipv6 ? ATTR_IPV6_DST : ATTR_IPV4_DST));
    const std::size_t length = flow.ipv6 ? 16 : 4;
    EXPECT_EQ(std::memcmp(source, flow.source.data(), length), 0);
    EXPECT_EQ(std::memcmp(destination, flow.destination.data(), length), 0);
    nfct_destroy(parsed);
  }
}

}  // namespace
}  // namespace tamrin
