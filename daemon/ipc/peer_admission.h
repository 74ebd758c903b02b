#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>

#include "core/ipc_socket.h"

namespace tamrin {

// Decides whether the process at the other end of a connected Unix socket may talk to the
// daemon: it is admitted only when the SHA-256 of its executable is one of the allowed digests
// and the process was still alive after its executable was hashed. Thread-safe.
class PeerAdmission {
 public:
  // SHA-256 of what is readable from a descriptor, as lower-case hex.
  using Digest = std::function<std::string(int fd)>;

  // Whether the process a pidfd stands for still exists.
  using Liveness = std::function<bool(int pidfd)>;

  // `sealedSizes`, when given, are the sizes of the sealed files: an executable of any other
  // size is refused without being read. `digest` hashes an opened executable; `alive` probes a
  // peer after its executable was opened (by default with signal 0 through the pidfd).
  explicit PeerAdmission(std::set<std::string> allowedDigests,
                         std::optional<std::set<std::uint64_t>> sealedSizes = std::nullopt,
                         Digest digest = nullptr, Liveness alive = nullptr);

  // A peer whose executable must still be hashed: its open executable and what proves the
  // process is the same one after hashing.
  struct Pending {
    UniqueFd executable;
    UniqueFd pidfd;  // absent where the kernel cannot give one
    std::tuple<dev_t, ino_t, off_t, long long, long long> key;
  };

  // The part of the decision that reads no file content: a verdict, or the peer to hash with
  // finish(). Reads nothing from the socket. Any failure refuses.
  std::variant<bool, Pending> begin(int connection);
  // Hashes the pending peer's executable (up to the largest sealed size) and decides.
  bool finish(Pending peer);
  // begin() and, when needed, finish() on the calling thread.
  bool admits(int connection);

  // The SHA-256 of the executable of process `pid` (in this process's pid namespace), through
  // the cache. Throws std::system_error.
  std::string executableDigest(pid_t pid);
  // The SHA-256 of the opened regular file `fd`, through the cache, which is keyed by device,
  // inode, size and change time and holds at most kMaxCachedDigests entries. Throws
  // std::system_error.
  std::string fileDigest(int fd);

  static constexpr std::size_t kMaxCachedDigests = 64;

 private:
  // Device, inode, size, change time (seconds, nanoseconds) of an executable file.
  using FileKey = std::tuple<dev_t, ino_t, off_t, long long, long long>;

  std::optional<std::string> cached(const FileKey& key);
  std::string hashAndCache(int fd, const FileKey& key);

  const std::set<std::string> allowedDigests_;
  const std::optional<std::set<std::uint64_t>> sealedSizes_;
  const Digest digest_;
  const Liveness alive_;
  std::mutex cacheMutex_;
  std::map<FileKey, std::string> digestCache_;  // guarded by cacheMutex_
};

}  // namespace tamrin
