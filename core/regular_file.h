#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace tamrin {

// The largest hosts file and policy file the daemon reads.
inline constexpr size_t kMaximumHostsFileBytes = size_t{64} << 20;
inline constexpr size_t kMaximumPolicyFileBytes = size_t{16} << 20;

// A file's whole content and what fstat said about the descriptor it was read from.
struct RegularFileContents {
  std::string bytes;
  struct stat info;
};

// Reads the whole file at `path` (links followed) when it is a regular file of at most
// `maximumBytes`. It is opened without blocking and checked with fstat on the opened
// descriptor, so a FIFO, device, socket or directory is never read and never waited on.
// Throws std::system_error naming the path: the open error, "is not a regular file"
// (EINVAL, or EISDIR for a directory), "is larger than N bytes" (EFBIG), or the read error.
RegularFileContents readRegularFile(const std::filesystem::path& path, size_t maximumBytes);

// Throws the "is not a regular file" error of readRegularFile for `path` unless `info`
// describes a regular file.
void requireRegularFile(const std::filesystem::path& path, const struct stat& info);

}  // namespace tamrin
