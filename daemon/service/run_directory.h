#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <span>
#include <string>

namespace tamrin {

// The daemon's run directory and the entries in it that the daemon and its tools use.
inline constexpr const char* kRunDirectory = "/run/tamrin";

// One entry of the run directory and the file type it must have (S_IFREG, S_IFSOCK).
struct RunEntry {
  std::string name;
  mode_t type;
};

// suffixes, daemon.lock, pf-tokens (regular files) and the socket.
std::span<const RunEntry> runDirectoryEntries();

// Makes `directory` the daemon's own before anything in it is used: a directory (a link or
// another file in its place is removed first) owned by this process's user and group with
// mode 0755, whatever the umask. Each of `entries` that is there but is not of its type, not
// this user's, or a regular file with another link, is removed, never opened; other entries
// stay. Everything is done through the directory's descriptor, opened without following a
// link. Throws std::system_error naming the path when the directory cannot be made so.
void claimRunDirectory(const std::filesystem::path& directory, std::span<const RunEntry> entries);

}  // namespace tamrin
