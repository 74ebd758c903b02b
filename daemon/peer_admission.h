#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <tuple>

namespace tamrin {

// Decides whether the process at the other end of a connected Unix socket may talk to the
// daemon: it is admitted only when the SHA-256 of its executable is one of the allowed digests.
class PeerAdmission {
 public:
  explicit PeerAdmission(std::set<std::string> allowedDigests);

  // True when the peer of `connection` runs an allowed executable and was still alive after
  // its executable was hashed. Reads nothing from the socket. Any failure refuses.
  bool admits(int connection);

  // The SHA-256 of the executable of process `pid` (in this process's pid namespace), through
  // the cache. Throws std::system_error.
  std::string executableDigest(pid_t pid);

 private:
  // Device, inode, size, change time (seconds, nanoseconds) of an executable file.
  using FileKey = std::tuple<dev_t, ino_t, off_t, long long, long long>;
  static constexpr std::size_t kMaxCachedDigests = 64;

  const std::set<std::string> allowedDigests_;
  std::mutex cacheMutex_;
  std::map<FileKey, std::string> digestCache_;  // guarded by cacheMutex_
};

}  // namespace tamrin
