#include "daemon/enforcement/wire_flow_judge.h"

#include <netinet/in.h>

#include "daemon/wire/server_name.h"

namespace tamrin {
namespace {

class WireFlowJudge final : public FlowJudge {
 public:
  explicit WireFlowJudge(FlowInspectorLimits limits) : inspector_(limits) {}

  void useDomains(const std::vector<std::string>& domains) override {
    blocked_ = BlockedNameMatcher(domains);
  }
  std::optional<FlowJudgement> judge(std::span<const std::uint8_t> ipPacket, double now) override {
    const std::optional<FlowDecision> decision = inspector_.inspect(ipPacket, now, blocked_);
    if (!decision) return std::nullopt;
    return FlowJudgement{.flow = flowTupleOf(decision->key),
                         .refused = decision->verdict == FlowVerdict::refuse,
                         .name = decision->name};
  }
  void expire(double now) override { inspector_.expire(now); }

 private:
  FlowInspector inspector_;
  BlockedNameMatcher blocked_;
};

}  // namespace

std::unique_ptr<FlowJudge> newWireFlowJudge(FlowInspectorLimits limits) {
  return std::make_unique<WireFlowJudge>(limits);
}

FlowTuple flowTupleOf(const FlowKey& key) {
  return {.protocol = key.transport == WireTransport::tcp ? std::uint8_t{IPPROTO_TCP}
                                                          : std::uint8_t{IPPROTO_UDP},
          .ipv6 = key.ipv6,
          .source = key.source,
          .destination = key.destination,
          .sourcePort = key.sourcePort,
          .destinationPort = key.destinationPort};
}

}  // namespace tamrin
