#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace tamrin {

// Reads the whole file. Throws std::system_error naming the path on failure.
std::string readFile(const std::filesystem::path& path);

// Replaces the file at `path` with `contents` so that a reader sees either the whole old or
// the whole new file: a temporary file beside it, created with `mode`, written, fsynced,
// renamed over `path`, then the directory fsynced. The temporary file is removed on any
// failure. Throws std::system_error naming the path.
void writeFileAtomically(const std::filesystem::path& path, std::string_view contents, mode_t mode);

// The owner user and group a replacement file is given.
struct FileOwner {
  uid_t uid;
  gid_t gid;
};

// As above, and the temporary file is also given `owner` before the rename, so the file never
// appears with another owner or mode. Changing the owner needs the privilege to do so.
void writeFileAtomically(const std::filesystem::path& path, std::string_view contents, mode_t mode,
                         const FileOwner& owner);

// Removes the temporary files that a writer of `path` killed in the middle of
// writeFileAtomically left beside it (regular files named exactly as it names them), and
// nothing else. Call it only while no writer of `path` runs. Best effort: errors are ignored.
// Returns how many it removed.
size_t removeStaleTemporaries(const std::filesystem::path& path);

}  // namespace tamrin
