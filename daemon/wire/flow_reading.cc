#include "daemon/wire/flow_reading.h"

#include <algorithm>

#include "daemon/wire/http_request.h"
#include "daemon/wire/tls_client_hello.h"

namespace tamrin {
namespace {

constexpr std::uint8_t kTcp = 6;
constexpr std::uint8_t kUdp = 17;
constexpr std::size_t kMaximumSpareFlows = 64;
constexpr int kMaximumIpv6Extensions = 8;

std::uint16_t be16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}
std::uint32_t be32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

// The transport segment of one IP packet that the inspector looks at.
struct Segment {
  FlowKey key;
  std::uint32_t sequence = 0;  // TCP only
  std::span<const std::uint8_t> payload;
};

// The protocol and the bytes after the IP header(s); nothing for a fragment that is not the
// whole packet or a header that does not fit.
struct Network {
  std::uint8_t protocol;
  std::span<const std::uint8_t> rest;
};

std::optional<Network> readIpv4(std::span<const std::uint8_t> ip, FlowKey& key) {
  const std::size_t headerLength = std::size_t{ip[0] & 0x0fu} * 4;
  if (ip.size() < 20 || headerLength < 20 || headerLength > ip.size()) return std::nullopt;
  const std::size_t total = be16(&ip[2]);
  if (total < headerLength) return std::nullopt;
  if ((be16(&ip[6]) & 0x3fff) != 0) return std::nullopt;  // a fragment
  key.ipv6 = false;
  std::copy_n(&ip[12], 4, key.source.begin());
  std::copy_n(&ip[16], 4, key.destination.begin());
  return Network{ip[9], ip.subspan(headerLength, std::min(total, ip.size()) - headerLength)};
}

std::optional<Network> readIpv6(std::span<const std::uint8_t> ip, FlowKey& key) {
  if (ip.size() < 40) return std::nullopt;
  const std::size_t payloadLength = be16(&ip[4]);
  if (payloadLength == 0) return std::nullopt;  // a jumbogram
  key.ipv6 = true;
  std::copy_n(&ip[8], 16, key.source.begin());
  std::copy_n(&ip[24], 16, key.destination.begin());
  std::uint8_t next = ip[6];
  std::span<const std::uint8_t> rest = ip.subspan(40, std::min(payloadLength, ip.size() - 40));
  for (int i = 0; i < kMaximumIpv6Extensions; ++i) {
    std::size_t length = 0;
    switch (next) {
      case 0:   // hop-by-hop options
      case 43:  // routing
      case 60:  // destination options
        if (rest.size() < 2) return std::nullopt;
        length = (std::size_t{rest[1]} + 1) * 8;
        break;
      case 44:  // fragment: only a whole packet in one fragment is read
        if (rest.size() < 8 || (be16(&rest[2]) & 0xfff9) != 0) return std::nullopt;
        length = 8;
        break;
      case 51:  // authentication header
        if (rest.size() < 2) return std::nullopt;
        length = (std::size_t{rest[1]} + 2) * 4;
        break;
      default:
        return Network{next, rest};
    }
    if (length > rest.size()) return std::nullopt;
    next = rest[0];
    rest = rest.subspan(length);
  }
  return std::nullopt;
}

std::optional<Segment> readSegment(std::span<const std::uint8_t> ip) {
  if (ip.empty()) return std::nullopt;
  Segment segment{};
  std::optional<Network> network;
  if ((ip[0] >> 4) == 4) network = readIpv4(ip, segment.key);
  if ((ip[0] >> 4) == 6) network = readIpv6(ip, segment.key);
  if (!network) return std::nullopt;
  const std::span<const std::uint8_t> rest = network->rest;
  if (network->protocol == kTcp) {
    if (rest.size() < 20) return std::nullopt;
    const std::size_t offset = static_cast<std::size_t>(rest[12] >> 4) * 4;
    if (offset < 20 || offset > rest.size()) return std::nullopt;
    segment.key.transport = WireTransport::tcp;
    // A SYN takes up one sequence number before its data (TCP Fast Open).
    const bool syn = (rest[13] & 0x02) != 0;
    segment.sequence = be32(&rest[4]) + (syn ? 1 : 0);
    segment.payload = rest.subspan(offset);
  } else if (network->protocol == kUdp) {
    if (rest.size() < 8) return std::nullopt;
    const std::size_t length = be16(&rest[4]);
    segment.key.transport = WireTransport::udp;
    segment.payload =
        rest.subspan(8, length >= 8 ? std::min(length, rest.size()) - 8 : rest.size() - 8);
  } else {
    return std::nullopt;
  }
  segment.key.sourcePort = be16(&rest[0]);
  segment.key.destinationPort = be16(&rest[2]);
  const std::uint16_t port = segment.key.destinationPort;
  const bool watched =
      segment.key.transport == WireTransport::tcp ? port == 80 || port == 443 : port == 443;
  if (!watched || segment.payload.empty()) return std::nullopt;
  return segment;
}

}  // namespace

struct FlowInspector::Flow {
  explicit Flow(std::size_t maximumBytes)
      : tls(ClientHelloReader::Framing::records, maximumBytes),
        http(maximumBytes),
        quic(maximumBytes) {}
  void clear() {
    packets = 0;
    tls.clear();
    http.clear();
    quic.clear();
  }

  double firstSeen = 0;
  Order::iterator place;
  std::size_t packets = 0;
  std::uint32_t firstSequence = 0;  // TCP: the sequence number of stream offset 0
  ClientHelloReader tls;
  HttpRequestReader http;
  QuicInitialReader quic;
};

std::size_t FlowInspector::KeyHash::operator()(const FlowKey& key) const {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  auto mix = [&](std::uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
  mix(static_cast<std::uint8_t>(key.transport));
  mix(key.ipv6);
  for (std::uint8_t byte : key.source) mix(byte);
  for (std::uint8_t byte : key.destination) mix(byte);
  mix(static_cast<std::uint8_t>(key.sourcePort >> 8));
  mix(static_cast<std::uint8_t>(key.sourcePort));
  mix(static_cast<std::uint8_t>(key.destinationPort >> 8));
  mix(static_cast<std::uint8_t>(key.destinationPort));
  return static_cast<std::size_t>(hash);
}

FlowInspector::FlowInspector(FlowInspectorLimits limits) : limits_(limits) {
  limits_.maximumFlows = std::max<std::size_t>(limits_.maximumFlows, 1);
  limits_.maximumPacketsPerFlow = std::max<std::size_t>(limits_.maximumPacketsPerFlow, 1);
}

FlowInspector::~FlowInspector() = default;

std::optional<FlowDecision> FlowInspector::inspect(std::span<const std::uint8_t> ipPacket,
                                                   double nowSeconds,
                                                   const BlockedNameMatcher& blocked) {
  expire(nowSeconds);
  const std::optional<Segment> segment = readSegment(ipPacket);
  if (!segment) return std::nullopt;
  const FlowKey& key = segment->key;
  if (decided_.contains(key)) return std::nullopt;
  if (key.transport == WireTransport::udp && !flows_.contains(key)) {
    // Only a client Initial (or a version this reader does not know) starts a QUIC flow, so
    // the later packets of a connection already decided do not start one.
    const std::optional<QuicLongHeader> header = readQuicLongHeader(segment->payload);
    if (!header || (header->known && !header->initial)) return std::nullopt;
  }
  Flow& flow = flowFor(key, nowSeconds);
  ++flow.packets;
  NameResult result;
  if (key.transport == WireTransport::udp) {
    flow.quic.addDatagram(segment->payload, opener_);
    result = flow.quic.result();
  } else {
    if (flow.packets == 1) flow.firstSequence = segment->sequence;
    const auto ahead = static_cast<std::int32_t>(segment->sequence - flow.firstSequence);
    auto read = [&](auto& reader) {
      if (ahead >= 0) {
        reader.add(static_cast<std::uint64_t>(ahead), segment->payload);
      } else if (const auto behind = static_cast<std::size_t>(-std::int64_t{ahead});
                 behind < limits_.maximumBytesPerFlow) {
        reader.shift(behind);  // a segment before the first one seen
        reader.add(0, segment->payload);
        flow.firstSequence = segment->sequence;
      }
      return reader.result();
    };
    result = key.destinationPort == 80 ? read(flow.http) : read(flow.tls);
  }
  std::optional<FlowDecision> decision = decide(key, flow, result, blocked);
  if (decision) remember(key, nowSeconds);
  return decision;
}

void FlowInspector::forgetOldestDecided() {
  const Decided& oldest = decidedOrder_.front();
  const auto found = decided_.find(oldest.key);
  if (found != decided_.end() && found->second == oldest.at) decided_.erase(found);
  decidedOrder_.pop_front();
}

void FlowInspector::remember(const FlowKey& key, double nowSeconds) {
  if (decidedOrder_.size() >= limits_.maximumFlows) forgetOldestDecided();
  decided_[key] = nowSeconds;
  decidedOrder_.push_back({key, nowSeconds});
}

std::optional<FlowDecision> FlowInspector::decide(const FlowKey& key, Flow& flow, NameResult result,
                                                  const BlockedNameMatcher& blocked) {
  const bool quic = key.transport == WireTransport::udp;
  FlowDecision decision{.key = key,
                        .verdict = quic ? FlowVerdict::refuse : FlowVerdict::pass,
                        .reason = quic ? FlowReason::unreadableQuic : FlowReason::unreadableTcp,
                        .name = {}};
  switch (result.reading) {
    case NameReading::name:
      decision.name = std::string(result.name);
      if (blocked.matches(result.name)) {
        decision.verdict = FlowVerdict::refuse;
        decision.reason = FlowReason::blockedName;
      } else {
        decision.verdict = FlowVerdict::pass;
        decision.reason = FlowReason::allowedName;
      }
      break;
    case NameReading::noName:
      break;
    case NameReading::needMore:
    case NameReading::foreign:  // perhaps a later segment first: wait for the earlier one
      if (flow.packets < limits_.maximumPacketsPerFlow) return std::nullopt;
      break;
  }
  forget(key);
  return decision;
}

FlowInspector::Flow& FlowInspector::flowFor(const FlowKey& key, double nowSeconds) {
  if (const auto found = flows_.find(key); found != flows_.end()) return *found->second;
  if (flows_.size() >= limits_.maximumFlows) {
    const FlowKey oldest = order_.front();
    forget(oldest);
    ++dropped_;
  }
  std::unique_ptr<Flow> flow;
  if (spare_.empty()) {
    flow = std::make_unique<Flow>(limits_.maximumBytesPerFlow);
  } else {
    flow = std::move(spare_.back());
    spare_.pop_back();
  }
  flow->firstSeen = nowSeconds;
  flow->place = order_.insert(order_.end(), key);
  Flow& placed = *flow;
  flows_.emplace(key, std::move(flow));
  return placed;
}

void FlowInspector::forget(const FlowKey& key) {
  const auto found = flows_.find(key);
  if (found == flows_.end()) return;
  std::unique_ptr<Flow> flow = std::move(found->second);
  flows_.erase(found);
  order_.erase(flow->place);
  flow->clear();
  if (spare_.size() < kMaximumSpareFlows) spare_.push_back(std::move(flow));
}

std::size_t FlowInspector::expire(double nowSeconds) {
  while (!decidedOrder_.empty() &&
         nowSeconds - decidedOrder_.front().at >= limits_.flowLifetimeSeconds) {
    forgetOldestDecided();
  }
  std::size_t count = 0;
  while (!order_.empty()) {
    const FlowKey oldest = order_.front();
    if (nowSeconds - flows_.at(oldest)->firstSeen < limits_.flowLifetimeSeconds) break;
    forget(oldest);
    ++count;
  }
  dropped_ += count;
  return count;
}

std::size_t FlowInspector::flowCount() const { return flows_.size(); }

std::size_t FlowInspector::droppedFlows() const { return dropped_; }

}  // namespace tamrin
