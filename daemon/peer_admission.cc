#include "daemon/peer_admission.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <system_error>

#include "core/ipc_socket.h"
#include "daemon/file_digest.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace tamrin {
namespace {

// The pid that a pidfd stands for, from the "Pid:" line of its fdinfo; absent when the process
// has exited, lives in another pid namespace, or the line cannot be read.
std::optional<pid_t> pidOfPidfd(int pidfd) {
  const std::string path = "/proc/self/fdinfo/" + std::to_string(pidfd);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buffer[1024];
  const ssize_t count = ::read(fd.get(), buffer, sizeof buffer - 1);
  if (count <= 0) return std::nullopt;
  const std::string_view info(buffer, static_cast<std::size_t>(count));
  const std::size_t at = info.find("\nPid:");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = info.substr(at + 5);
  while (!rest.empty() && (rest.front() == '\t' || rest.front() == ' ')) rest.remove_prefix(1);
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
  if (error != std::errc() || pid <= 0) return std::nullopt;
  return pid;
}

// EPERM (a process of another user, and no CAP_KILL, as under the systemd unit) still means
// that the process exists; only ESRCH says it has ended.
bool stillAlive(int pidfd) {
  return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0 || errno == EPERM;
}

}  // namespace

PeerAdmission::PeerAdmission(std::set<std::string> allowedDigests)
    : allowedDigests_(std::move(allowedDigests)) {}

bool PeerAdmission::admits(int connection) {
  try {
    int rawPidfd = -1;
    socklen_t size = sizeof rawPidfd;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERPIDFD, &rawPidfd, &size) == 0) {
      UniqueFd pidfd(rawPidfd);
      const std::optional<pid_t> pid = pidOfPidfd(pidfd.get());
      if (!pid) return false;
      const bool allowed = allowedDigests_.contains(executableDigest(*pid));
      // While the process lives its pid cannot name another process, so the file hashed above
      // was its executable.
      return allowed && stillAlive(pidfd.get());
    }
    if (errno != ENOPROTOOPT && errno != EINVAL) return false;
    ucred credentials{};
    size = sizeof credentials;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        credentials.pid <= 0) {
      return false;
    }
    return allowedDigests_.contains(executableDigest(credentials.pid));
  } catch (const std::exception&) {
    return false;
  }
}

std::string PeerAdmission::executableDigest(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/exe";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw std::system_error(errno, std::generic_category(), path);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw std::system_error(errno, std::generic_category(), path);
  const FileKey key{info.st_dev, info.st_ino, info.st_size, info.st_ctim.tv_sec,
                    info.st_ctim.tv_nsec};
  {
    std::lock_guard lock(cacheMutex_);
    if (auto found = digestCache_.find(key); found != digestCache_.end()) return found->second;
  }
  std::string digest = sha256OfDescriptor(fd.get());
  std::lock_guard lock(cacheMutex_);
  if (digestCache_.size() >= kMaxCachedDigests) digestCache_.clear();
  digestCache_.emplace(key, digest);
  return digest;
}

}  // namespace tamrin
