#include "daemon/enforcement/wire_flow_judge.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>

namespace tamrin {
namespace {

// An IPv4 TCP segment from 10.77.0.1:40000 to 10.77.0.2:80 carrying `payload`.
std::vector<std::uint8_t> httpSegment(const std::string& payload) {
  std::vector<std::uint8_t> packet(40 + payload.size(), 0);
  packet[0] = 0x45;
  packet[2] = static_cast<std::uint8_t>(packet.size() >> 8);
  packet[3] = static_cast<std::uint8_t>(packet.size() & 0xff);
  packet[8] = 64;
  packet[9] = IPPROTO_TCP;
  inet_pton(AF_INET, "10.77.0.1", &packet[12]);
  inet_pton(AF_INET, "10.77.0.2", &packet[16]);
  packet[20] = 40000 >> 8;
  packet[21] = 40000 & 0xff;
  packet[23] = 80;
  packet[24 + 3] = 1;   // sequence number
  packet[32] = 5 << 4;  // header length
  packet[33] = 0x18;    // PSH, ACK
  packet[34] = 0xff;    // window
  std::memcpy(&packet[40], payload.data(), payload.size());
  return packet;
}

TEST(WireFlowJudge, RefusesTheFlowOfABlockedNameWithItsTupleAndPassesOthers) {
  const auto judge = newWireFlowJudge();
  judge->useDomains({"blocked.example"});
  const auto refused =
      judge->judge(httpSegment("GET / HTTP/1.1\r\nHost: Blocked.Example\r\n\r\n"), 1.0);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->refused);
  EXPECT_EQ(refused->name, "blocked.example");
  FlowTuple expected{.protocol = IPPROTO_TCP, .sourcePort = 40000, .destinationPort = 80};
  inet_pton(AF_INET, "10.77.0.1", expected.source.data());
  inet_pton(AF_INET, "10.77.0.2", expected.destination.data());
  EXPECT_EQ(refused->flow, expected);

  judge->useDomains({"other.example"});
  std::vector<std::uint8_t> allowed =
      httpSegment("GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n");
  allowed[21] = 1;  // another source port: another flow
  const auto passed = judge->judge(allowed, 2.0);
  ASSERT_TRUE(passed);
  EXPECT_FALSE(passed->refused) << "the new domains hold from now on";
}

}  // namespace
}  // namespace tamrin
