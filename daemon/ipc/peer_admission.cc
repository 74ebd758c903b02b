#include "daemon/ipc/peer_admission.h"

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
#include <variant>

#include "core/ipc_socket.h"
#include "core/system_error.h"
#include "daemon/ipc/file_digest.h"

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

PeerAdmission::PeerAdmission(std::set<std::string> allowedDigests,
                             std::optional<std::set<std::uint64_t>> sealedSizes, Digest digest,
                             Liveness alive)
    : allowedDigests_(std::move(allowedDigests)),
      sealedSizes_(std::move(sealedSizes)),
      digest_(digest ? std::move(digest) : Digest([](int fd) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) throw std::system_error(errno, std::generic_category());
        return sha256OfDescriptor(fd, static_cast<std::uint64_t>(info.st_size));
      })),
      alive_(alive ? std::move(alive) : Liveness(stillAlive)) {}

std::variant<bool, PeerAdmission::Pending> PeerAdmission::begin(int connection) {
  try {
    UniqueFd pidfd;
    pid_t pid = 0;
    int rawPidfd = -1;
    socklen_t size = sizeof rawPidfd;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERPIDFD, &rawPidfd, &size) == 0) {
      pidfd = UniqueFd(rawPidfd);
      const std::optional<pid_t> known = pidOfPidfd(pidfd.get());
      if (!known) return false;
      pid = *known;
    } else {
      if (errno != ENOPROTOOPT && errno != EINVAL) return false;
      ucred credentials{};
      size = sizeof credentials;
      if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
          credentials.pid <= 0) {
        return false;
      }
      pid = credentials.pid;
    }
    const std::string path = "/proc/" + std::to_string(pid) + "/exe";
    UniqueFd executable(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!executable || ::fstat(executable.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
      return false;
    }
    if (sealedSizes_ && !sealedSizes_->contains(static_cast<std::uint64_t>(info.st_size))) {
      return false;
    }
    Pending peer{
        .executable = std::move(executable),
        .pidfd = std::move(pidfd),
        .key = {info.st_dev, info.st_ino, info.st_size, info.st_ctim.tv_sec, info.st_ctim.tv_nsec}};
    if (const std::optional<std::string> digest = cached(peer.key)) {
      // While the process lives its pid cannot name another process, so the file opened above
      // is its executable.
      return allowedDigests_.contains(*digest) && (!peer.pidfd || alive_(peer.pidfd.get()));
    }
    return peer;
  } catch (const std::exception&) {
    return false;
  }
}

bool PeerAdmission::finish(Pending peer) {
  try {
    const bool allowed = allowedDigests_.contains(hashAndCache(peer.executable.get(), peer.key));
    return allowed && (!peer.pidfd || alive_(peer.pidfd.get()));
  } catch (const std::exception&) {
    return false;
  }
}

bool PeerAdmission::admits(int connection) {
  std::variant<bool, Pending> step = begin(connection);
  if (const bool* verdict = std::get_if<bool>(&step)) return *verdict;
  return finish(std::get<Pending>(std::move(step)));
}

std::string PeerAdmission::executableDigest(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/exe";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throwErrno(path);
  return fileDigest(fd.get());
}

std::string PeerAdmission::fileDigest(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throwErrno("stat");
  if (!S_ISREG(info.st_mode)) {
    throwErrno(EINVAL, "not a regular file");
  }
  const FileKey key{info.st_dev, info.st_ino, info.st_size, info.st_ctim.tv_sec,
                    info.st_ctim.tv_nsec};
  if (std::optional<std::string> digest = cached(key)) return *digest;
  return hashAndCache(fd, key);
}

std::optional<std::string> PeerAdmission::cached(const FileKey& key) {
  std::lock_guard lock(cacheMutex_);
  if (auto found = digestCache_.find(key); found != digestCache_.end()) return found->second;
  return std::nullopt;
}

// A file that changed while it was hashed is not cached under the key it had before.
std::string PeerAdmission::hashAndCache(int fd, const FileKey& key) {
  std::string digest = digest_(fd);
  struct stat after {};
  if (::fstat(fd, &after) != 0 || FileKey{after.st_dev, after.st_ino, after.st_size,
                                          after.st_ctim.tv_sec, after.st_ctim.tv_nsec} != key) {
    throwErrno(EAGAIN, "executable changed while hashed");
  }
  std::lock_guard lock(cacheMutex_);
  if (digestCache_.size() >= kMaxCachedDigests) digestCache_.clear();
  digestCache_.emplace(key, digest);
  return digest;
}

}  // namespace tamrin
