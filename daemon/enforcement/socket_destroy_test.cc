#include "daemon/enforcement/socket_destroy.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

#include <gtest/gtest.h>

#include <cstring>

namespace tamrin {
namespace {

FlowTuple tupleOf(std::uint8_t protocol, const char* source, std::uint16_t sourcePort,
                  const char* destination, std::uint16_t destinationPort) {
  FlowTuple flow{.protocol = protocol,
                 .ipv6 = std::strchr(source, ':') != nullptr,
                 .sourcePort = sourcePort,
                 .destinationPort = destinationPort};
  const int family = flow.ipv6 ? AF_INET6 : AF_INET;
  inet_pton(family, source, flow.source.data());
  inet_pton(family, destination, flow.destination.data());
  return flow;
}

TEST(SocketDestroyRequest, NamesTheExactSocketOfEitherFamilyAndProtocol) {
  const struct {
    FlowTuple flow;
    int family;
    std::size_t addressBytes;
  } cases[] = {
      {tupleOf(IPPROTO_TCP, "10.77.0.1", 40000, "10.77.0.2", 443), AF_INET, 4},
      {tupleOf(IPPROTO_UDP, "fd77::1", 51234, "2001:db8::2", 443), AF_INET6, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.family);
    const std::vector<std::uint8_t> bytes = socketDestroyRequest(c.flow, 77);
    ASSERT_EQ(bytes.size(), NLMSG_LENGTH(sizeof(inet_diag_req_v2)));
    nlmsghdr header;
    inet_diag_req_v2 request;
    std::memcpy(&header, bytes.data(), sizeof header);
    std::memcpy(&request, bytes.data() + NLMSG_HDRLEN, sizeof request);
    EXPECT_EQ(header.nlmsg_len, bytes.size());
    EXPECT_EQ(header.nlmsg_type, 21);  // SOCK_DESTROY
    EXPECT_EQ(header.nlmsg_flags, NLM_F_REQUEST | NLM_F_ACK);
    EXPECT_EQ(header.nlmsg_seq, 77u);
    EXPECT_EQ(request.sdiag_family, c.family);
    EXPECT_EQ(request.sdiag_protocol, c.flow.protocol);
    EXPECT_EQ(request.idiag_states, ~0u) << "whatever state the socket is in";
    EXPECT_EQ(ntohs(request.id.idiag_sport), c.flow.sourcePort);
    EXPECT_EQ(ntohs(request.id.idiag_dport), c.flow.destinationPort);
    EXPECT_EQ(std::memcmp(request.id.idiag_src, c.flow.source.data(), c.addressBytes), 0);
    EXPECT_EQ(std::memcmp(request.id.idiag_dst, c.flow.destination.data(), c.addressBytes), 0);
    EXPECT_EQ(request.id.idiag_if, 0u);
    EXPECT_EQ(request.id.idiag_cookie[0], INET_DIAG_NOCOOKIE);
    EXPECT_EQ(request.id.idiag_cookie[1], INET_DIAG_NOCOOKIE);
  }
}

}  // namespace
}  // namespace tamrin
