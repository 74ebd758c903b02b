#include "daemon/enforcement/socket_destroy.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

#include <cstring>

#include "daemon/enforcement/netlink_request.h"

namespace tamrin {

std::vector<std::uint8_t> socketDestroyRequest(const FlowTuple& flow, std::uint32_t sequence) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message = {};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DESTROY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  message.header.nlmsg_seq = sequence;
  inet_diag_req_v2& request = message.request;
  request.sdiag_family = flow.ipv6 ? AF_INET6 : AF_INET;
  request.sdiag_protocol = flow.protocol;
  request.idiag_states = ~0u;
  request.id.idiag_sport = htons(flow.sourcePort);
  request.id.idiag_dport = htons(flow.destinationPort);
  const std::size_t length = flow.ipv6 ? 16 : 4;
  std::memcpy(request.id.idiag_src, flow.source.data(), length);
  std::memcpy(request.id.idiag_dst, flow.destination.data(), length);
  request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&message);
  return {bytes, bytes + sizeof message};
}

SocketDestroyer::SocketDestroyer() : socket_(openNetlinkSocket(NETLINK_SOCK_DIAG)) {}

std::error_code SocketDestroyer::destroy(const FlowTuple& flow) {
  const std::uint32_t sequence = ++sequence_;
  return netlinkRequest(socket_.get(), socketDestroyRequest(flow, sequence), sequence);
}

}  // namespace tamrin
