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

SendProgress sendWhatFits(int fd, std::string_view bytes) {
  SendProgress progress;
  while (progress.sent < bytes.size()) {
    const ssize_t count = ::send(fd, bytes.data() + progress.sent, bytes.size() - progress.sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count >= 0) {
      progress.sent += static_cast<std::size_t>(count);
    } else if (errno != EINTR) {
      progress.error = errno == EWOULDBLOCK ? EAGAIN : errno;
      break;
    }
  }
  return progress;
}

int sendAll(int fd, std::string_view bytes, Deadline deadline) {
  for (;;) {
    const SendProgress progress = sendWhatFits(fd, bytes);
    if (progress.error != EAGAIN) return progress.error;
    bytes.remove_prefix(progress.sent);
    if (!waitForFd(fd, POLLOUT, deadline)) return ETIMEDOUT;
  }
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
