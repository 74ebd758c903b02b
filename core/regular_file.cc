#include "core/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/system_error.h"
#include "core/unique_fd.h"

namespace tamrin {

void requireRegularFile(const std::filesystem::path& path, const struct stat& info) {
  if (S_ISREG(info.st_mode)) return;
  throwErrno(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, path.string() + " is not a regular file");
}

RegularFileContents readRegularFile(const std::filesystem::path& path, size_t maximumBytes) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file) throwErrno(errno, "read " + path.string());
  const int fd = file.get();

  RegularFileContents result{};
  if (::fstat(fd, &result.info) != 0) throwErrno(errno, "stat " + path.string());
  requireRegularFile(path, result.info);
  const auto tooLarge = [&] {
    throwErrno(EFBIG, path.string() + " is larger than " + std::to_string(maximumBytes) + " bytes");
  };
  if (static_cast<unsigned long long>(result.info.st_size) > maximumBytes) tooLarge();
  result.bytes.reserve(static_cast<size_t>(result.info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, "read " + path.string());
    }
    if (count == 0) break;
    // The file may grow while it is read: the cap holds for what is read, not only the size.
    if (result.bytes.size() + static_cast<size_t>(count) > maximumBytes) tooLarge();
    result.bytes.append(buffer, static_cast<size_t>(count));
  }
  return result;
}

}  // namespace tamrin
