#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string_view>

namespace tamrin {

// Flushes a descriptor to the disk; returns 0 or -1 with errno set (::fsync in the daemon).
using SyncFile = std::function<int(int fd)>;

// Rewrites the regular file at `path`, whose content is `previous`, to `wanted` through its own
// inode, for a file that cannot be replaced (a mount point), then syncs it. Nothing before the
// first byte where the two differ is written. The first `keptLength` bytes of `wanted` are the
// ones a crash must never cost: when the texts differ only after them, the file is first cut
// to the common part and the rest appended, so at every moment it holds a prefix of `wanted`;
// otherwise the rest is written over the old bytes and the file cut afterwards, so no old byte
// is gone before its place has been rewritten. The file must still be the one described by
// `expected` (same device and inode); when a write fails the previous bytes are written back.
// Throws std::system_error naming the path.
void rewriteInPlace(const std::filesystem::path& path, const struct stat& expected,
                    std::string_view wanted, std::string_view previous, size_t keptLength,
                    const SyncFile& sync = ::fsync);

}  // namespace tamrin
