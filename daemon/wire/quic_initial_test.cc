#include "daemon/wire/quic_initial.h"

#include <gtest/gtest.h>

#include "daemon/wire/wire_test_data.h"

namespace tamrin {
namespace {

const Bytes kDcid = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};

std::string nameOf(QuicInitialReader& reader) {
  const NameResult result = reader.result();
  return result.reading == NameReading::name ? std::string(result.name) : "";
}

// The key derivation of RFC 9001 A.1 and RFC 9369 A.1.
TEST(QuicInitialTest, DerivesThePublishedClientKeys) {
  const auto hex = [](const auto& bytes) {
    std::string out;
    for (std::uint8_t byte : bytes)
      out += "0123456789abcdef"[byte >> 4], out += "0123456789abcdef"[byte & 15];
    return out;
  };
  const auto one = quicClientInitialKeys(kQuicVersion1, kDcid).value();
  EXPECT_EQ(hex(one.key), "1f369613dd76d5467730efcbe3b1a22d");
  EXPECT_EQ(hex(one.iv), "fa044b2f42a3fd3b46fb255c");
  EXPECT_EQ(hex(one.hp), "9f50449e04a0e810283a1e9933adedd2");
  const auto two = quicClientInitialKeys(kQuicVersion2, kDcid).value();
  EXPECT_EQ(hex(two.key), "8b1a0bc121284290a29e0971b5cd045d");
  EXPECT_EQ(hex(two.iv), "91f73e2351d8fa91660e909f");
  EXPECT_EQ(hex(two.hp), "45b95e15235d6f45a6b19cbcb0294ba9");
  EXPECT_FALSE(quicClientInitialKeys(0xff00001d, kDcid));
}

// The protected client Initials published in RFC 9001 A.2 and RFC 9369 A.2.
TEST(QuicInitialTest, OpensThePublishedClientInitials) {
  for (std::string_view file : {"quic_v1_client_initial.hex", "quic_v2_client_initial.hex"}) {
    QuicInitialOpener opener;
    QuicInitialReader reader;
    const Bytes packet = testdataBytes(file);
    EXPECT_EQ(reader.addDatagram(packet, opener), 1u) << file;
    EXPECT_EQ(nameOf(reader), "example.com") << file;

    Bytes forged = packet;
    forged[600] ^= 1;
    QuicInitialReader forgedReader;
    EXPECT_EQ(forgedReader.addDatagram(forged, opener), 0u) << file;
    EXPECT_EQ(forgedReader.result().reading, NameReading::needMore) << file;

    Bytes unknown = packet;
    unknown[4] ^= 0x10;  // another version
    EXPECT_EQ(QuicInitialReader().addDatagram(unknown, opener), 0u) << file;
  }
}

TEST(QuicInitialTest, JoinsCryptoDataAcrossInitialsInAnyOrder) {
  const Bytes hello = clientHello({{0x33, Bytes(1300, 7)}, serverNameExtension("Split.Quic.Test")});
  const Bytes head(hello.begin(), hello.begin() + 700), tail(hello.begin() + 700, hello.end());
  const Bytes ack = {0x02, 0x00, 0x00, 0x01, 0x00, 0x05, 0x01};  // ACK with one more range
  const Bytes first =
      sealedInitial(kQuicVersion1, kDcid, 0, joined(Bytes{0x01}, cryptoFrame(0, head)));
  const Bytes second = sealedInitial(kQuicVersion1, kDcid, 1, joined(ack, cryptoFrame(700, tail)));
  QuicInitialOpener opener;
  QuicInitialReader reader;
  EXPECT_EQ(reader.addDatagram(second, opener), 1u);
  EXPECT_EQ(reader.result().reading, NameReading::needMore);
  EXPECT_EQ(reader.addDatagram(first, opener), 1u);
  EXPECT_EQ(nameOf(reader), "split.quic.test");

  // Both halves coalesced into one datagram, in version 2, the later CRYPTO frame first.
  const Bytes v2first = sealedInitial(kQuicVersion2, kDcid, 0, cryptoFrame(700, tail), 1300);
  const Bytes v2second = sealedInitial(kQuicVersion2, kDcid, 1, cryptoFrame(0, head), 900);
  QuicInitialReader coalesced;
  EXPECT_EQ(coalesced.addDatagram(joined(v2first, v2second), opener), 2u);
  EXPECT_EQ(nameOf(coalesced), "split.quic.test");
}

// Chromium's first two Initials, captured on loopback: a 2 KB hello in CRYPTO frames shuffled
// across both packets, with PING and PADDING between them.
TEST(QuicInitialTest, ReadsCapturedChromiumInitials) {
  const Bytes first = testdataBytes("chromium_quic_initial_0.hex");
  const Bytes second = testdataBytes("chromium_quic_initial_1.hex");
  QuicInitialOpener opener;
  for (bool reversed : {false, true}) {
    QuicInitialReader reader;
    EXPECT_EQ(reader.addDatagram(reversed ? second : first, opener), 1u);
    EXPECT_EQ(reader.result().reading, NameReading::needMore);
    EXPECT_EQ(reader.addDatagram(reversed ? first : second, opener), 1u);
    EXPECT_EQ(nameOf(reader), "quic.wire.test") << reversed;
  }
}

TEST(QuicInitialTest, StepsOverFramesAndStopsAtUnknownOnes) {
  ClientHelloReader hello(ClientHelloReader::Framing::handshake);
  const Bytes close = {0x1c, 0x0a, 0x00, 0x02, 'n', 'o'};
  const Bytes ecn = {0x03, 0x05, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03};
  EXPECT_TRUE(readInitialFrames(joined(joined(close, ecn), Bytes{0, 0, 1}), hello));
  EXPECT_FALSE(readInitialFrames(Bytes{0x08, 0x00}, hello));  // a STREAM frame
  EXPECT_FALSE(readInitialFrames(Bytes{0x06, 0x00, 0x40}, hello));
  EXPECT_FALSE(readInitialFrames(Bytes{0x06, 0x00, 0x09, 0x01}, hello));  // a length that lies
  EXPECT_FALSE(readInitialFrames(Bytes{0x02, 0x00, 0x00, 0x3f, 0x00}, hello));  // ranges that lie
}

}  // namespace
}  // namespace tamrin
