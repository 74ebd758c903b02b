#pragma once

#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string_view>

#include "core/unique_fd.h"

namespace tamrin {

// Where the daemon listens and every client connects.
inline constexpr std::string_view kDaemonSocketPath = "/run/tamrin/app.tamrin.daemon.sock";

using Deadline = std::chrono::steady_clock::time_point;

// Waits until `fd` reports one of the poll `events`, an error or a hang-up (so that the next
// call reports it), or until the deadline passes. Returns false on time-out.
bool waitForFd(int fd, short events, Deadline deadline);

// How far one sendWhatFits() got: `sent` bytes, and why it stopped: 0 when everything was sent,
// EAGAIN when the socket takes no more for now, otherwise the errno that ended sending (EPIPE or
// ECONNRESET once the peer is gone).
struct SendProgress {
  std::size_t sent = 0;
  int error = 0;
};

// Sends from the front of `bytes` what a non-blocking socket takes now, never waiting, retrying
// EINTR and without raising SIGPIPE. The one send loop of both ends of the channel.
SendProgress sendWhatFits(int fd, std::string_view bytes);

// Sends all of `bytes` on a non-blocking socket before the deadline without raising SIGPIPE.
// Returns 0 when everything was sent, ETIMEDOUT on time-out, otherwise the failing errno.
int sendAll(int fd, std::string_view bytes, Deadline deadline);

// The address of a Unix stream socket at `path`. Throws std::system_error (ENAMETOOLONG) when
// the path does not fit.
sockaddr_un unixSocketAddress(const std::filesystem::path& path);

}  // namespace tamrin
