#include "daemon/wire/flow_reading.h"

#include <gtest/gtest.h>

#include "daemon/wire/wire_test_data.h"

namespace tamrin {
namespace {

const BlockedNameMatcher kBlocked({"blocked.test", "*.video.test"});
const Bytes kDcid = {1, 2, 3, 4, 5, 6, 7, 8};

// `ipv6Packet` with a hop-by-hop options header before its transport header.
Bytes withHopByHop(Bytes ipv6Packet) {
  const std::uint8_t next = ipv6Packet[6];
  ipv6Packet[6] = 0;
  ipv6Packet[5] += 8;
  ipv6Packet.insert(ipv6Packet.begin() + 40, {next, 0, 5, 2, 0, 0, 1, 0});
  return ipv6Packet;
}

Bytes tlsHello(std::string_view name) {
  return inRecords(clientHello({serverNameExtension(name)}));
}
Bytes quicHello(std::string_view name, std::uint32_t packetNumber = 0) {
  return sealedInitial(kQuicVersion1, kDcid, packetNumber,
                       cryptoFrame(0, clientHello({serverNameExtension(name)})));
}

TEST(FlowInspectorTest, DecidesEachFlowByItsName) {
  const struct {
    std::string_view label;
    Bytes packet;
    FlowVerdict verdict;
    FlowReason reason;
    std::string_view name;
  } kCases[] = {
      {"TLS, blocked", tcpPacket(false, 40000, 443, 7, tlsHello("Blocked.Test")),
       FlowVerdict::refuse, FlowReason::blockedName, "blocked.test"},
      {"TLS, www", tcpPacket(true, 40000, 443, 7, tlsHello("www.blocked.test")),
       FlowVerdict::refuse, FlowReason::blockedName, "www.blocked.test"},
      {"TLS over IPv6 with a hop-by-hop header",
       withHopByHop(tcpPacket(true, 40000, 443, 7, tlsHello("blocked.test"))), FlowVerdict::refuse,
       FlowReason::blockedName, "blocked.test"},
      {"TLS, under a *. rule", tcpPacket(false, 40000, 443, 7, tlsHello("cdn.video.test")),
       FlowVerdict::refuse, FlowReason::blockedName, "cdn.video.test"},
      {"TLS, allowed", tcpPacket(false, 40000, 443, 7, tlsHello("mail.blocked.test")),
       FlowVerdict::pass, FlowReason::allowedName, "mail.blocked.test"},
      {"TLS, no name", tcpPacket(false, 40000, 443, 7, inRecords(clientHello({}))),
       FlowVerdict::pass, FlowReason::unreadableTcp, ""},
      {"HTTP, blocked",
       tcpPacket(true, 40000, 80, 7, asBytes("GET / HTTP/1.1\r\nHost: blocked.test:80\r\n")),
       FlowVerdict::refuse, FlowReason::blockedName, "blocked.test"},
      {"HTTP, no Host", tcpPacket(false, 40000, 80, 7, asBytes("GET / HTTP/1.0\r\n\r\n")),
       FlowVerdict::pass, FlowReason::unreadableTcp, ""},
      {"QUIC, blocked", udpPacket(false, 40000, 443, quicHello("a.video.test")),
       FlowVerdict::refuse, FlowReason::blockedName, "a.video.test"},
      {"QUIC over IPv6, allowed", udpPacket(true, 40000, 443, quicHello("fine.test")),
       FlowVerdict::pass, FlowReason::allowedName, "fine.test"},
      {"QUIC, no name",
       udpPacket(false, 40000, 443,
                 sealedInitial(kQuicVersion1, kDcid, 0, cryptoFrame(0, clientHello({})))),
       FlowVerdict::refuse, FlowReason::unreadableQuic, ""},
  };
  for (const auto& row : kCases) {
    FlowInspector inspector;
    const auto decision = inspector.inspect(row.packet, 1, kBlocked);
    ASSERT_TRUE(decision) << row.label;
    EXPECT_EQ(decision->verdict, row.verdict) << row.label;
    EXPECT_EQ(decision->reason, row.reason) << row.label;
    EXPECT_EQ(decision->name, row.name) << row.label;
    EXPECT_EQ(decision->key.sourcePort, 40000) << row.label;
    EXPECT_EQ(inspector.flowCount(), 0u) << row.label;
    // The rest of a decided connection is ignored for the lifetime, then read anew.
    EXPECT_FALSE(inspector.inspect(row.packet, 5.9, kBlocked)) << row.label;
    EXPECT_TRUE(inspector.inspect(row.packet, 6, kBlocked)) << row.label;
  }
}

TEST(FlowInspectorTest, IgnoresWhatItDoesNotWatch) {
  FlowInspector inspector;
  const Bytes hello = tlsHello("blocked.test");
  EXPECT_FALSE(inspector.inspect(tcpPacket(false, 40000, 8443, 1, hello), 1, kBlocked));
  EXPECT_FALSE(inspector.inspect(tcpPacket(false, 40000, 443, 1, {}), 1, kBlocked));
  EXPECT_FALSE(
      inspector.inspect(udpPacket(false, 40000, 80, quicHello("blocked.test")), 1, kBlocked));
  EXPECT_FALSE(
      inspector.inspect(udpPacket(false, 40000, 443, {0x40, 1, 2, 3, 4, 5, 6, 7}), 1, kBlocked));
  Bytes fragment = tcpPacket(false, 40000, 443, 1, hello);
  fragment[6] = 0x20;  // more fragments follow
  EXPECT_FALSE(inspector.inspect(fragment, 1, kBlocked));
  EXPECT_FALSE(inspector.inspect(Bytes{0x45, 0, 0}, 1, kBlocked));
  EXPECT_EQ(inspector.flowCount(), 0u);
}

TEST(FlowInspectorTest, JoinsTwoSegmentsInEitherOrder) {
  const Bytes hello = testdataBytes("chromium_client_hello.hex");
  const std::size_t cut = 1404;  // inside the server name
  const Bytes first(hello.begin(), hello.begin() + cut), second(hello.begin() + cut, hello.end());
  const std::uint32_t start = 0xfffffc00;  // the second segment's number wraps around
  for (bool reversed : {false, true}) {
    FlowInspector inspector;
    const Bytes a = tcpPacket(false, 40000, 443, start, first);
    const Bytes b = tcpPacket(false, 40000, 443, static_cast<std::uint32_t>(start + cut), second);
    EXPECT_FALSE(inspector.inspect(reversed ? b : a, 1, kBlocked));
    EXPECT_EQ(inspector.flowCount(), 1u);
    const auto decision = inspector.inspect(reversed ? a : b, 1.1, kBlocked);
    ASSERT_TRUE(decision) << reversed;
    EXPECT_EQ(decision->reason, FlowReason::allowedName) << reversed;
    EXPECT_EQ(decision->name, "chromium.wire.test") << reversed;
  }
}

TEST(FlowInspectorTest, JoinsTheDataOfASynToTheSegmentAfterIt) {
  // TCP Fast Open: the hello begins in the SYN, whose own sequence number comes before its data.
  const Bytes hello = testdataBytes("chromium_client_hello.hex");
  const std::size_t cut = 1000;
  const Bytes first(hello.begin(), hello.begin() + cut), second(hello.begin() + cut, hello.end());
  Bytes syn = tcpPacket(false, 40000, 443, 500, first);
  syn[20 + 13] = 0x02;  // the flags of the TCP header after the 20-byte IPv4 header: SYN alone
  FlowInspector inspector;
  EXPECT_FALSE(inspector.inspect(syn, 1, kBlocked));
  const auto decision =
      inspector.inspect(tcpPacket(false, 40000, 443, 501 + cut, second), 1, kBlocked);
  ASSERT_TRUE(decision);
  EXPECT_EQ(decision->name, "chromium.wire.test");
}

TEST(FlowInspectorTest, KeepsItsCaps) {
  const Bytes hello = tlsHello("blocked.test");
  const Bytes head(hello.begin(), hello.begin() + 20);
  // The flow table: the oldest undecided flow goes first.
  FlowInspector table(FlowInspectorLimits{.maximumFlows = 2});
  for (std::uint16_t port : {1, 2, 3}) {
    EXPECT_FALSE(table.inspect(tcpPacket(false, port, 443, 1, head), port, kBlocked));
  }
  EXPECT_EQ(table.flowCount(), 2u);
  EXPECT_EQ(table.droppedFlows(), 1u);
  const Bytes rest(hello.begin() + 20, hello.end());
  EXPECT_FALSE(table.inspect(tcpPacket(false, 1, 443, 21, rest), 4, kBlocked));  // starts anew
  EXPECT_EQ(table.inspect(tcpPacket(false, 3, 443, 21, rest), 4, kBlocked)->name, "blocked.test");

  // Packets: a flood of segments that never completes is unreadable at the limit.
  FlowInspector packets(FlowInspectorLimits{.maximumPacketsPerFlow = 3});
  EXPECT_FALSE(packets.inspect(tcpPacket(false, 9, 443, 1, head), 1, kBlocked));
  EXPECT_FALSE(packets.inspect(tcpPacket(false, 9, 443, 1, head), 1, kBlocked));
  EXPECT_EQ(packets.inspect(tcpPacket(false, 9, 443, 1, head), 1, kBlocked)->reason,
            FlowReason::unreadableTcp);
  // Bytes: a segment beyond the cap adds nothing; the hello no longer fits.
  FlowInspector bytes(FlowInspectorLimits{.maximumBytesPerFlow = 32});
  EXPECT_FALSE(bytes.inspect(tcpPacket(false, 9, 443, 100, rest), 1, kBlocked));
  EXPECT_EQ(bytes.inspect(tcpPacket(false, 9, 443, 80, head), 1, kBlocked)->reason,
            FlowReason::unreadableTcp);
}

TEST(FlowInspectorTest, RefusesUnreadableQuicAtTheLimitAndForgetsOldFlows) {
  Bytes forged = quicHello("blocked.test");
  forged.back() ^= 1;  // a bad tag
  Bytes unknown = quicHello("blocked.test");
  unknown[1] = 0x0a;  // a version this reader does not know
  for (const Bytes& payload : {forged, unknown}) {
    FlowInspector inspector(FlowInspectorLimits{.maximumPacketsPerFlow = 2});
    EXPECT_FALSE(inspector.inspect(udpPacket(false, 5, 443, payload), 1, kBlocked));
    const auto decision = inspector.inspect(udpPacket(false, 5, 443, payload), 1, kBlocked);
    ASSERT_TRUE(decision);
    EXPECT_EQ(decision->verdict, FlowVerdict::refuse);
    EXPECT_EQ(decision->reason, FlowReason::unreadableQuic);
  }

  FlowInspector inspector(FlowInspectorLimits{.flowLifetimeSeconds = 5});
  const Bytes head(20, 22);
  EXPECT_FALSE(inspector.inspect(tcpPacket(false, 1, 443, 1, head), 10, kBlocked));
  EXPECT_FALSE(inspector.inspect(tcpPacket(true, 2, 443, 1, head), 12, kBlocked));
  EXPECT_EQ(inspector.expire(14.9), 0u);
  EXPECT_EQ(inspector.expire(15), 1u);
  EXPECT_EQ(inspector.flowCount(), 1u);
  EXPECT_FALSE(
      inspector.inspect(tcpPacket(false, 3, 443, 1, head), 17, kBlocked));  // expires the rest
  EXPECT_EQ(inspector.flowCount(), 1u);
  EXPECT_EQ(inspector.droppedFlows(), 2u);
}

}  // namespace
}  // namespace tamrin
