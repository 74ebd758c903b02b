#pragma once

#include <array>
#include <cstdint>

namespace tamrin {

// A TCP or UDP flow in its original direction, as its first packets show it: from the client
// (this machine, or one it forwards for) to the server. An IPv4 address fills the first four
// bytes of its array; ports are in host order.
struct FlowTuple {
  std::uint8_t protocol = 0;  // IPPROTO_TCP or IPPROTO_UDP
  bool ipv6 = false;
  std::array<std::uint8_t, 16> source = {};
  std::array<std::uint8_t, 16> destination = {};
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;

  bool operator==(const FlowTuple&) const = default;
};

}  // namespace tamrin
