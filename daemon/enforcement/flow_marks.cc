#include "daemon/enforcement/flow_marks.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <linux/netlink.h>

#include <cstring>
#include <memory>

#include "core/packet_filter_rules.h"
#include "daemon/enforcement/netlink_request.h"

namespace tamrin {
namespace {

struct ConntrackDeleter {
  void operator()(nf_conntrack* conntrack) const { nfct_destroy(conntrack); }
};

}  // namespace

std::vector<std::uint8_t> flowMarkRequest(const FlowTuple& flow, std::uint32_t mark,
                                          std::uint32_t sequence) {
  std::unique_ptr<nf_conntrack, ConntrackDeleter> conntrack(nfct_new());
  if (!conntrack) throw std::bad_alloc();
  nf_conntrack* ct = conntrack.get();
  nfct_set_attr_u8(ct, ATTR_L3PROTO, flow.ipv6 ? AF_INET6 : AF_INET);
  if (flow.ipv6) {
    nfct_set_attr(ct, ATTR_IPV6_SRC, flow.source.data());
    nfct_set_attr(ct, ATTR_IPV6_DST, flow.destination.data());
  } else {
    std::uint32_t source, destination;
    std::memcpy(&source, flow.source.data(), 4);
    std::memcpy(&destination, flow.destination.data(), 4);
    nfct_set_attr_u32(ct, ATTR_IPV4_SRC, source);
    nfct_set_attr_u32(ct, ATTR_IPV4_DST, destination);
  }
  nfct_set_attr_u8(ct, ATTR_L4PROTO, flow.protocol);
  nfct_set_attr_u16(ct, ATTR_PORT_SRC, htons(flow.sourcePort));
  nfct_set_attr_u16(ct, ATTR_PORT_DST, htons(flow.destinationPort));
  nfct_set_attr_u32(ct, ATTR_MARK, mark & kFlowMarkMask);

  std::vector<std::uint8_t> buffer(MNL_SOCKET_BUFFER_SIZE);
  nlmsghdr* header = mnl_nlmsg_put_header(buffer.data());
  // IPCTNL_MSG_CT_NEW without NLM_F_CREATE changes a connection that exists, and only that.
  header->nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_NEW;
  header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  header->nlmsg_seq = sequence;
  auto* family = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(header, sizeof(nfgenmsg)));
  family->nfgen_family = flow.ipv6 ? AF_INET6 : AF_INET;
  family->version = NFNETLINK_V0;
  family->res_id = 0;
  if (nfct_nlmsg_build(header, ct) != 0) throw std::bad_alloc();
  // The kernel keeps the bits outside the mask: new = (old & ~mask) ^ mark.
  mnl_attr_put_u32(header, CTA_MARK_MASK, htonl(kFlowMarkMask));
  buffer.resize(header->nlmsg_len);
  return buffer;
}

FlowMarks::FlowMarks() : socket_(openNetlinkSocket(NETLINK_NETFILTER)) {}

std::error_code FlowMarks::mark(const FlowTuple& flow, std::uint32_t mark) {
  const std::uint32_t sequence = ++sequence_;
  try {
    return netlinkRequest(socket_.get(), flowMarkRequest(flow, mark, sequence), sequence);
  } catch (const std::bad_alloc&) {
    return std::make_error_code(std::errc::not_enough_memory);
  }
}

}  // namespace tamrin
