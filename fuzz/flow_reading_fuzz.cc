// Feeds whole IP packets to the flow inspector: the input is a series of packets, each a
// two-byte length and its bytes. The flow table stays within its cap, every decision agrees
// with its reason, and a name decided is a normalised host name.
#include <cstdint>
#include <span>

#include "daemon/wire/flow_reading.h"
#include "fuzz/fuzz_check.h"

using tamrin::check;
using tamrin::FlowReason;
using tamrin::FlowVerdict;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const tamrin::BlockedNameMatcher blocked({"blocked.test", "*.video.test"});
  tamrin::FlowInspector inspector(tamrin::FlowInspectorLimits{
      .maximumFlows = 4, .maximumBytesPerFlow = 2048, .maximumPacketsPerFlow = 4});
  std::span<const std::uint8_t> rest(data, size);
  double now = 0;
  while (rest.size() >= 2) {
    const std::size_t length = std::min<std::size_t>((rest[0] << 8) | rest[1], rest.size() - 2);
    const auto decision = inspector.inspect(rest.subspan(2, length), now, blocked);
    rest = rest.subspan(2 + length);
    now += 0.5;
    check(inspector.flowCount() <= 4);
    if (!decision) continue;
    const bool named =
        decision->reason == FlowReason::blockedName || decision->reason == FlowReason::allowedName;
    check(named == !decision->name.empty());
    check(!named ||
          blocked.matches(decision->name) == (decision->reason == FlowReason::blockedName));
    check(!named || tamrin::normalizedServerName(decision->name) == decision->name);
    const bool refused = decision->reason == FlowReason::blockedName ||
                         decision->reason == FlowReason::unreadableQuic;
    check(refused == (decision->verdict == FlowVerdict::refuse));
  }
  return 0;
}
