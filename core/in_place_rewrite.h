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
// inode, for a file that cannot be replaced (a mount point): it writes only from the first byte
// where the two differ, then truncates to the new length, then syncs. The bytes before that
// first difference are never written, so a crash at any moment keeps them. The file must still
// be the one described by `expected` (same device and inode); when a write fails the previous
// bytes are written back. Throws std::system_error naming the path.
void rewriteInPlace(const std::filesystem::path& path, const struct stat& expected,
                    std::string_view wanted, std::string_view previous,
                    const SyncFile& sync = ::fsync);

}  // namespace tamrin
