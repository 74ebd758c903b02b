#include "core/in_place_rewrite.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "core/regular_file.h"
#include "core/system_error.h"
#include "core/unique_fd.h"

namespace tamrin {
namespace {

// Writes `contents` at `offset`; returns 0 or the errno of the failing write.
int writeAllAt(int fd, std::string_view contents, off_t offset) {
  while (!contents.empty()) {
    const ssize_t written = ::pwrite(fd, contents.data(), contents.size(), offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    contents.remove_prefix(static_cast<size_t>(written));
    offset += written;
  }
  return 0;
}

// Brings a file whose first `from` bytes already are `contents`' to `contents`, then syncs it:
// cut to `from` and append the rest (`cutFirst`), or write the rest over the old bytes and cut
// afterwards. Returns 0 or the errno of the first failing step.
int overwriteFrom(int fd, std::string_view contents, size_t from, bool cutFirst,
                  const SyncFile& sync) {
  if (cutFirst && ::ftruncate(fd, static_cast<off_t>(from)) != 0) return errno;
  if (int error = writeAllAt(fd, contents.substr(from), static_cast<off_t>(from))) return error;
  if (!cutFirst && ::ftruncate(fd, static_cast<off_t>(contents.size())) != 0) return errno;
  return sync(fd) == 0 ? 0 : errno;
}

}  // namespace

void rewriteInPlace(const std::filesystem::path& path, const struct stat& expected,
                    std::string_view wanted, std::string_view previous, size_t keptLength,
                    const SyncFile& sync) {
  const UniqueFd file(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file) throwErrno("open " + path.string());
  const int fd = file.get();
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    throwErrno("stat " + path.string());
  }
  requireRegularFile(path, info);
  if (info.st_dev != expected.st_dev || info.st_ino != expected.st_ino) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            path.string() + " was replaced while it was being edited");
  }
  const size_t common = static_cast<size_t>(
      std::mismatch(wanted.begin(), wanted.end(), previous.begin(), previous.end()).first -
      wanted.begin());
  const bool cutFirst = common >= keptLength;
  const int error = overwriteFrom(fd, wanted, common, cutFirst, sync);
  if (error != 0) (void)overwriteFrom(fd, previous, common, cutFirst, sync);
  if (error != 0) {
    throwErrno(error, "write " + path.string());
  }
}

}  // namespace tamrin
