#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamrin {

using Bytes = std::vector<std::uint8_t>;

// The bytes of daemon/wire/testdata/<name>, written as hexadecimal text.
Bytes testdataBytes(std::string_view name);
Bytes asBytes(std::string_view text);
Bytes joined(const Bytes& a, const Bytes& b);

// A ClientHello handshake message with these extensions, each the type and its data.
struct Extension {
  std::uint16_t type;
  Bytes data;
};
Extension serverNameExtension(std::string_view name);
Bytes clientHello(const std::vector<Extension>& extensions);
// `handshake` in TLS handshake records of at most `recordSize` bytes each.
Bytes inRecords(const Bytes& handshake, std::size_t recordSize = 16384);

// IP packets from 192.0.2.1 (2001:db8::1) to 198.51.100.7 (2001:db8::7).
Bytes tcpPacket(bool ipv6, std::uint16_t sourcePort, std::uint16_t destinationPort,
                std::uint32_t sequence, const Bytes& payload);
Bytes udpPacket(bool ipv6, std::uint16_t sourcePort, std::uint16_t destinationPort,
                const Bytes& payload);

// A client Initial of `version` to `dcid` with packet number `packetNumber` holding `frames`,
// padded to `size` bytes and protected as a client would.
Bytes sealedInitial(std::uint32_t version, const Bytes& dcid, std::uint32_t packetNumber,
                    Bytes frames, std::size_t size = 1200);
Bytes cryptoFrame(std::uint64_t offset, const Bytes& data);

}  // namespace tamrin
