#pragma once

#include <memory>

#include "daemon/enforcement/wire_names_layer.h"
#include "daemon/wire/flow_reading.h"

namespace tamrin {

// The FlowJudge of the daemon: the wire room's FlowInspector, deciding each flow by the server
// name its first packets carry against a BlockedNameMatcher of the domains.
std::unique_ptr<FlowJudge> newWireFlowJudge(FlowInspectorLimits limits = {});

// The tuple of a flow the inspector named.
FlowTuple flowTupleOf(const FlowKey& key);

}  // namespace tamrin
