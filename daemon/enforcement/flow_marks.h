#pragma once

#include <cstdint>
#include <system_error>
#include <vector>

#include "core/unique_fd.h"
#include "daemon/enforcement/flow_tuple.h"

namespace tamrin {

// The ctnetlink request that sets the bits kFlowMarkMask of the mark of the connection whose
// original direction is `flow` to those of `mark`, keeping the mark's other bits; it changes
// an existing connection only (never creates one) and asks for an acknowledgement under
// `sequence`.
std::vector<std::uint8_t> flowMarkRequest(const FlowTuple& flow, std::uint32_t mark,
                                          std::uint32_t sequence);

// Marks connections in the kernel's connection tracking (libnetfilter_conntrack's messages
// over a netfilter netlink socket of its own; the kernel requires CAP_NET_ADMIN).
class FlowMarks {
 public:
  // Throws std::system_error when the kernel refuses the netlink socket.
  FlowMarks();

  // Sets this system's bits of the mark of `flow`'s connection to `mark` (kFlowMarkPassed,
  // kFlowMarkRefused). Returns the kernel's answer: success, ENOENT when no connection has
  // this original direction (it ended, or was rewritten on its way here). Never throws.
  // Calls are serialised by the caller.
  std::error_code mark(const FlowTuple& flow, std::uint32_t mark);

 private:
  UniqueFd socket_;
  std::uint32_t sequence_ = 0;
};

}  // namespace tamrin
