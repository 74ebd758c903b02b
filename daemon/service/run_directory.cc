#include "daemon/service/run_directory.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "core/directories.h"
#include "core/system_error.h"
#include "core/unique_fd.h"

namespace tamrin {
namespace {

// Removes whatever is at `path` without following a link: a file, a link, or a directory
// with everything in it.
void removeEntry(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  if (error) throw std::system_error(error, "remove " + path.string());
}

// Opens `directory` as a directory, never through a link, creating it (0700 until it is
// owned and given its mode) when missing.
int openOwnDirectory(const std::filesystem::path& directory) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno == ENOENT) {
      createDirectories(directory, 0700);
    } else if (errno == ELOOP || errno == ENOTDIR) {
      removeEntry(directory);
    } else {
      throwErrno(errno, "open " + directory.string());
    }
  }
  throwErrno(ELOOP, "open " + directory.string());
}

bool isUsable(const struct stat& info, mode_t type) {
  if ((info.st_mode & S_IFMT) != type || info.st_uid != ::geteuid()) return false;
  return type != S_IFREG || info.st_nlink == 1;
}

}  // namespace

std::span<const RunEntry> runDirectoryEntries() {
  static const std::array<RunEntry, 4> entries = {{
      {"suffixes", S_IFREG},
      {"daemon.lock", S_IFREG},
      {"pf-tokens", S_IFREG},
      {"app.tamrin.daemon.sock", S_IFSOCK},
  }};
  return entries;
}

void claimRunDirectory(const std::filesystem::path& directory, std::span<const RunEntry> entries) {
  const UniqueFd fd(openOwnDirectory(directory));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throwErrno(errno, "inspect " + directory.string());
  if ((info.st_uid != ::geteuid() || info.st_gid != ::getegid()) &&
      ::fchown(fd.get(), ::geteuid(), ::getegid()) != 0) {
    throwErrno(errno, "take over " + directory.string());
  }
  if ((info.st_mode & 07777) != 0755 && ::fchmod(fd.get(), 0755) != 0) {
    throwErrno(errno, "set permissions of " + directory.string());
  }
  for (const RunEntry& entry : entries) {
    struct stat entryInfo {};
    if (::fstatat(fd.get(), entry.name.c_str(), &entryInfo, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (isUsable(entryInfo, entry.type)) continue;
    if (!S_ISDIR(entryInfo.st_mode)) {
      if (::unlinkat(fd.get(), entry.name.c_str(), 0) != 0 && errno != ENOENT) {
        throwErrno(errno, "remove " + (directory / entry.name).string());
      }
      continue;
    }
    // A directory is moved out of the way at once, then emptied as far as it goes: whoever
    // may still add to it cannot keep the name taken.
    const std::string aside = ".removed-" + entry.name + "-" + std::to_string(::getpid());
    if (::renameat(fd.get(), entry.name.c_str(), fd.get(), aside.c_str()) != 0) {
      throwErrno(errno, "remove " + (directory / entry.name).string());
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory / aside, ignored);
  }
}

}  // namespace tamrin
