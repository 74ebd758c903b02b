#include "core/ipc_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/system_error.h"

namespace tamrin {

bool waitForFd(int fd, short events, Deadline deadline) {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{.fd = fd, .events = events, .revents = 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let the caller's next call report it
  }
}

int sendAll(int fd, std::string_view bytes, Deadline deadline) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    if (!waitForFd(fd, POLLOUT, deadline)) return ETIMEDOUT;
  }
  return 0;
}

sockaddr_un unixSocketAddress(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof(address.sun_path)) {
    throwErrno(ENAMETOOLONG, "socket path does not fit: " + text);
  }
  std::memcpy(address.sun_path, text.data(), text.size());
  return address;
}

}  // namespace tamrin
