#include "daemon/events/nftables_events.h"

#include "core/system_error.h"

#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>

namespace tamrin {
namespace {

constexpr std::string_view kTable = "tamrin";
// Every nftables object message carries its table's name as attribute 1
// (NFTA_TABLE_NAME, NFTA_CHAIN_TABLE, NFTA_RULE_TABLE, NFTA_SET_TABLE, ...).
constexpr uint16_t kTableAttribute = 1;

bool concernsAnchor(const nlmsghdr* message) {
  if (NFNL_SUBSYS_ID(message->nlmsg_type) != NFNL_SUBSYS_NFTABLES) return false;
  if (NFNL_MSG_TYPE(message->nlmsg_type) == NFT_MSG_NEWGEN) return false;
  if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nfgenmsg))) return true;
  const auto* header = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(message));
  const auto* start =
      static_cast<const char*>(mnl_nlmsg_get_payload_offset(message, sizeof(nfgenmsg)));
  const auto* end = reinterpret_cast<const char*>(message) + message->nlmsg_len;
  for (auto* attribute = reinterpret_cast<const nlattr*>(start);
       mnl_attr_ok(attribute, static_cast<int>(end - reinterpret_cast<const char*>(attribute)));
       attribute = mnl_attr_next(attribute)) {
    if (mnl_attr_get_type(attribute) != kTableAttribute) continue;
    const auto* text = static_cast<const char*>(mnl_attr_get_payload(attribute));
    const std::string_view name(text, strnlen(text, mnl_attr_get_payload_len(attribute)));
    return header->nfgen_family == NFPROTO_INET && name == kTable;
  }
  return true;
}

}  // namespace

bool concernsAnchorTable(const void* messages, std::size_t length) {
  auto remaining = static_cast<int>(length);
  for (auto* message = static_cast<const nlmsghdr*>(messages); mnl_nlmsg_ok(message, remaining);
       message = mnl_nlmsg_next(message, &remaining)) {
    if (concernsAnchor(message)) return true;
  }
  return false;
}

NftablesEventSocket::NftablesEventSocket()
    : socket_(mnl_socket_open2(NETLINK_NETFILTER, SOCK_NONBLOCK | SOCK_CLOEXEC)) {
  if (socket_ == nullptr) throwErrno("cannot open the nftables netlink socket");
  if (mnl_socket_bind(socket_, 1u << (NFNLGRP_NFTABLES - 1), MNL_SOCKET_AUTOPID) < 0) {
    const int error = errno;
    mnl_socket_close(socket_);
    errno = error;
    throwErrno("cannot join the nftables multicast group");
  }
}

NftablesEventSocket::~NftablesEventSocket() { mnl_socket_close(socket_); }

int NftablesEventSocket::fd() const { return mnl_socket_get_fd(socket_); }

std::optional<bool> NftablesEventSocket::drain() {
  std::array<char, 65536> buffer;
  bool relevant = false;
  for (;;) {
    const ssize_t length = mnl_socket_recvfrom(socket_, buffer.data(), buffer.size());
    if (length >= 0) {
      relevant |= concernsAnchorTable(buffer.data(), static_cast<std::size_t>(length));
    } else if (errno == ENOBUFS) {
      relevant = true;  // announcements were lost: assume the worst
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return relevant;
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

}  // namespace tamrin
