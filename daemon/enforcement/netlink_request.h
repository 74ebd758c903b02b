#pragma once

#include <cstdint>
#include <system_error>
#include <vector>

#include "core/unique_fd.h"

namespace tamrin {

// A netlink socket of `protocol` (NETLINK_SOCK_DIAG, NETLINK_NETFILTER, ...) whose reads give
// up after a second. Throws std::system_error when the kernel refuses it.
UniqueFd openNetlinkSocket(int protocol);

// Sends `request` (one netlink message asking for an acknowledgement under `sequence`) to the
// kernel on `socket` and waits for the answer to it: success, or the error the kernel answered
// with (EAGAIN when none came). Never throws.
std::error_code netlinkRequest(int socket, const std::vector<std::uint8_t>& request,
                               std::uint32_t sequence);

}  // namespace tamrin
