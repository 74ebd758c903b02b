#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "daemon/wire/quic_initial.h"
#include "daemon/wire/server_name.h"

namespace tamrin {

enum class WireTransport : std::uint8_t { tcp, udp };
struct FlowKey {  // as seen in the copied packet: source = this machine or the forwarder
  WireTransport transport;
  bool ipv6;
  std::array<std::uint8_t, 16> source, destination;  // IPv4 in the first 4 bytes
  std::uint16_t sourcePort, destinationPort;         // host order
  bool operator==(const FlowKey&) const = default;
};
enum class FlowVerdict : std::uint8_t { pass, refuse };
enum class FlowReason : std::uint8_t {
  blockedName,     // refuse: the name read is blocked
  allowedName,     // pass: the name read is not blocked
  unreadableTcp,   // pass: no name within the limits (the address rules still apply)
  unreadableQuic,  // refuse: QUIC without a readable name (browsers fall back to TCP)
};
struct FlowDecision {
  FlowKey key;
  FlowVerdict verdict;
  FlowReason reason;
  std::string name;  // the name read, lowercased, empty when none
};
struct FlowInspectorLimits {
  std::size_t maximumFlows = 4096;         // undecided flows kept; the oldest is dropped (pass)
  std::size_t maximumBytesPerFlow = 4096;  // reassembly cap per flow
  std::size_t maximumPacketsPerFlow = 8;   // packets looked at before a flow is undecidable
  double flowLifetimeSeconds = 5;          // undecided flows forgotten after this
};

// Decides new outgoing flows by the server name their first packets carry in clear: the TLS
// ClientHello's server_name (TCP 443), the HTTP/1.x Host header (TCP 80) and the ClientHello
// inside QUIC v1/v2 Initials (UDP 443). A TCP stream is put back together from its first
// data segment seen, by sequence number relative to the lowest one seen; a segment further
// than the cap before it, or beyond the cap, adds nothing. A flow decided less than the
// lifetime ago is remembered (as many as maximumFlows) and its further packets are ignored,
// so that the rest of a connection already passed does not start a flow of its own.
// Not synchronised.
class FlowInspector {
 public:
  explicit FlowInspector(FlowInspectorLimits limits = {});
  ~FlowInspector();

  // Feeds one copied IP packet (IPv4 or IPv6, starting at the IP header, as NFLOG hands the
  // payload). Returns the decision when this packet decides its flow (the flow is then
  // forgotten); nothing while more packets are needed or for packets that are not TCP to
  // port 80/443 or UDP to port 443 with data. Never throws; bounded work per packet.
  std::optional<FlowDecision> inspect(std::span<const std::uint8_t> ipPacket, double nowSeconds,
                                      const BlockedNameMatcher& blocked);
  // Forgets undecided flows older than the lifetime; returns how many were dropped.
  std::size_t expire(double nowSeconds);
  std::size_t flowCount() const;
  std::size_t droppedFlows() const;  // flows forgotten undecided (cap or lifetime)

 private:
  struct Flow;
  struct KeyHash {
    std::size_t operator()(const FlowKey& key) const;
  };
  using Order = std::list<FlowKey>;  // oldest first

  Flow& flowFor(const FlowKey& key, double nowSeconds);
  std::optional<FlowDecision> decide(const FlowKey& key, Flow& flow, NameResult result,
                                     const BlockedNameMatcher& blocked);
  void forget(const FlowKey& key);
  void remember(const FlowKey& key, double nowSeconds);
  void forgetOldestDecided();

  FlowInspectorLimits limits_;
  std::unordered_map<FlowKey, std::unique_ptr<Flow>, KeyHash> flows_;
  Order order_;
  std::vector<std::unique_ptr<Flow>> spare_;  // decided flows' buffers, reused
  struct Decided {
    FlowKey key;
    double at;
  };
  std::unordered_map<FlowKey, double, KeyHash> decided_;  // when each was decided
  std::deque<Decided> decidedOrder_;                      // oldest first
  QuicInitialOpener opener_;
  std::size_t dropped_ = 0;
};

}  // namespace tamrin
