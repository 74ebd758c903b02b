#pragma once

#include <cstdint>
#include <system_error>
#include <vector>

#include "core/unique_fd.h"
#include "daemon/enforcement/flow_tuple.h"

namespace tamrin {

// The NETLINK_SOCK_DIAG request that destroys the local socket of `flow` (SOCK_DESTROY with an
// inet_diag_req_v2 naming its exact addresses and ports, any state), asking for an
// acknowledgement under `sequence`.
std::vector<std::uint8_t> socketDestroyRequest(const FlowTuple& flow, std::uint32_t sequence);

// Destroys local TCP and UDP sockets the way "ss -K" does, over a sock_diag socket of its own
// (the kernel requires CAP_NET_ADMIN). The socket's owner sees the connection aborted.
class SocketDestroyer {
 public:
  // Throws std::system_error when the kernel refuses the netlink socket.
  SocketDestroyer();

  // Destroys the socket whose local end is the flow's source and whose peer its destination.
  // Returns the kernel's answer: success, ENOENT when no local socket is the flow's (one this
  // machine forwards), EPERM without the capability, EOPNOTSUPP on a kernel without destroy.
  // Never throws. Calls are serialised by the caller.
  std::error_code destroy(const FlowTuple& flow);

 private:
  UniqueFd socket_;
  std::uint32_t sequence_ = 0;
};

}  // namespace tamrin
