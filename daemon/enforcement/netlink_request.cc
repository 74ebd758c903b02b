#include "daemon/enforcement/netlink_request.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

namespace tamrin {
namespace {

constexpr timeval kAnswerTimeout = {.tv_sec = 1, .tv_usec = 0};

}  // namespace

UniqueFd openNetlinkSocket(int protocol) {
  UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
  if (!socket) throw std::system_error(errno, std::generic_category(), "netlink socket");
  if (setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &kAnswerTimeout, sizeof kAnswerTimeout) !=
      0) {
    throw std::system_error(errno, std::generic_category(), "netlink socket timeout");
  }
  return socket;
}

std::error_code netlinkRequest(int socket, const std::vector<std::uint8_t>& request,
                               std::uint32_t sequence) {
  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (sendto(socket, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0) {
    return {errno, std::generic_category()};
  }
  alignas(nlmsghdr) std::uint8_t buffer[8192];
  for (;;) {
    const ssize_t received = recv(socket, buffer, sizeof buffer, 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      return {errno, std::generic_category()};
    }
    const auto length = static_cast<std::size_t>(received);
    for (std::size_t offset = 0; offset + sizeof(nlmsghdr) <= length;) {
      const auto* header = reinterpret_cast<const nlmsghdr*>(buffer + offset);
      if (header->nlmsg_len < sizeof(nlmsghdr) || offset + header->nlmsg_len > length) break;
      offset += NLMSG_ALIGN(header->nlmsg_len);
      // Answers to earlier requests that gave up waiting are passed over.
      if (header->nlmsg_seq != sequence || header->nlmsg_type != NLMSG_ERROR) continue;
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
        return {EPROTO, std::generic_category()};
      }
      const int error = static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
      if (error == 0) return {};
      return {error < 0 ? -error : error, std::generic_category()};
    }
  }
}

}  // namespace tamrin
