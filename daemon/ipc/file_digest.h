#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tamrin {

// SHA-256 of everything readable from `fd` (read from its current offset to the end), as 64
// lower-case hex digits. Throws std::system_error when reading fails.
std::string sha256OfDescriptor(int fd);
// The same over at most the first `limit` bytes.
std::string sha256OfDescriptor(int fd, std::uint64_t limit);

// SHA-256 of a regular file's content. Throws std::system_error when the file cannot be opened
// or read, or is not a regular file (EINVAL).
std::string sha256OfFile(const std::filesystem::path& path);

}  // namespace tamrin
