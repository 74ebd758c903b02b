#include "core/daemon_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "core/ipc_frame.h"
#include "core/system_error.h"

namespace tamrin {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = DaemonConnectionError::Kind;

constexpr std::chrono::milliseconds kReplyLimit{3000};

DaemonConnectionError notRunning(const std::filesystem::path& path, const std::string& why) {
  return DaemonConnectionError(
      Kind::notRunning, "The Tamrin daemon is not running (" + path.string() + ": " + why + ").");
}

DaemonConnectionError refused() {
  return DaemonConnectionError(Kind::refused, "The Tamrin daemon refused the connection.");
}

DaemonConnectionError closedBeforeReply() {
  return DaemonConnectionError(Kind::closedBeforeReply,
                               "The Tamrin daemon closed the connection before replying.");
}

// A privileged endpoint: a socket file owned by `owner` in a directory owned by `owner` that
// nobody else can change (or that is sticky).
void checkEndpoint(const DaemonClientOptions& options) {
  const std::filesystem::path& path = options.socketPath;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) throw notRunning(path, std::strerror(errno));
  if (!S_ISSOCK(info.st_mode)) throw notRunning(path, "not a socket");
  if (info.st_uid != options.expectedOwner) {
    throw notRunning(path, "not owned by uid " + std::to_string(options.expectedOwner));
  }
  const std::filesystem::path directory =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  if (::stat(directory.c_str(), &info) != 0) throw notRunning(directory, std::strerror(errno));
  if (info.st_uid != options.expectedOwner) {
    throw notRunning(directory, "not owned by uid " + std::to_string(options.expectedOwner));
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
    throw notRunning(directory, "writable by other users");
  }
}

// Connects within the deadline; the socket is non-blocking afterwards.
UniqueFd connectTo(const DaemonClientOptions& options, Deadline deadline) {
  const sockaddr_un address = unixSocketAddress(options.socketPath);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) throwErrno("socket");
  // A connect to a full backlog blocks; the send time-out bounds that wait.
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  const timeval limit{.tv_sec = left.count() / 1000000, .tv_usec = left.count() % 1000000};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  while (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EINPROGRESS || errno == ETIMEDOUT) {
      throw TamrinClientError::timeout();
    }
    throw notRunning(options.socketPath, std::strerror(errno));
  }
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
      peer.uid != options.expectedOwner) {
    throw notRunning(options.socketPath,
                     "served by a process not run by uid " + std::to_string(options.expectedOwner));
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
  return fd;
}

// Reads exactly one frame; anything after it stays unread, so a failure that follows a whole
// reply cannot replace it.
IpcReply readReply(int fd, Deadline deadline) {
  FrameAssembler frame;
  std::array<char, 64 * 1024> buffer;
  while (!frame.complete()) {
    const std::size_t wanted = std::min(buffer.size(), frame.bytesWanted());
    const ssize_t count = ::recv(fd, buffer.data(), wanted, 0);
    if (count == 0) throw closedBeforeReply();
    if (count < 0) {
      if (errno == EINTR) continue;
      if (errno == ECONNRESET) throw refused();
      if (errno != EAGAIN && errno != EWOULDBLOCK) throw closedBeforeReply();
      if (!waitForFd(fd, POLLIN, deadline)) throw TamrinClientError::timeout();
      continue;
    }
    try {
      frame.append(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    } catch (const IpcFrameError& error) {
      throw DaemonConnectionError(
          Kind::malformedReply,
          std::string("The Tamrin daemon sent a malformed reply: ") + error.what() + ".");
    }
  }
  try {
    return decodeReplyBody(frame.body());
  } catch (const IpcFrameError& error) {
    throw DaemonConnectionError(
        Kind::malformedReply,
        std::string("The Tamrin daemon sent a malformed reply: ") + error.what() + ".");
  }
}

}  // namespace

std::optional<Data> DaemonClient::call(DaemonOperation operation,
                                       std::optional<Data> argument) const {
  const ProtocolOperation& row = protocolOperation(operation);
  if (!row.accepts(argument)) {
    throw std::invalid_argument(std::string(row.selector) +
                                (row.takesArgument ? " takes an argument" : " takes no argument"));
  }
  const std::string request =
      encodeRequestFrame(IpcRequest{std::string(row.selector), std::move(argument)});
  checkEndpoint(options_);
  const Deadline deadline = Clock::now() + kReplyLimit;
  const UniqueFd fd = connectTo(options_, deadline);
  switch (sendAll(fd.get(), request, deadline)) {
    case 0:
      break;
    case ETIMEDOUT:
      throw TamrinClientError::timeout();
    case EPIPE:
    case ECONNRESET:
      throw refused();
    default:
      throw closedBeforeReply();
  }
  IpcReply reply = readReply(fd.get(), deadline);
  if (reply.text) throw TamrinClientError::remote(std::move(*reply.text));
  return std::move(reply.data);
}

DaemonStatus DaemonClient::status() const {
  const std::optional<Data> data = call(DaemonOperation::getStatus, std::nullopt);
  if (!data) throw TamrinClientError::emptyReply();
  return decodeDaemonStatus(*data);
}

void DaemonClient::enableBlocking(const TamrinConfiguration& configuration) const {
  call(DaemonOperation::enableBlocking, encodeConfiguration(configuration));
}

void DaemonClient::updateConfiguration(const TamrinConfiguration& configuration) const {
  call(DaemonOperation::updateConfiguration, encodeConfiguration(configuration));
}

void DaemonClient::prepareForRemoval() const {
  call(DaemonOperation::prepareForRemoval, std::nullopt);
}

}  // namespace tamrin
