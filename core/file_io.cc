#include "core/file_io.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

#include "core/system_error.h"
#include "core/unique_fd.h"

namespace tamrin {
namespace {

// Writes all of `contents`; returns 0 or the errno of the failing write().
int writeAll(int fd, std::string_view contents) {
  while (!contents.empty()) {
    ssize_t written = ::write(fd, contents.data(), contents.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    contents.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

constexpr std::string_view kTemporaryAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kTemporarySuffixLength = 8;

// The name of a temporary file for `path`, without its random suffix.
std::string temporaryPrefix(const std::filesystem::path& path) {
  return "." + path.filename().string() + ".tmp-";
}

std::string randomSuffix() {
  unsigned char bytes[kTemporarySuffixLength];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    throwErrno(errno, "getrandom");
  }
  std::string suffix;
  for (unsigned char byte : bytes) {
    suffix.push_back(kTemporaryAlphabet[byte % kTemporaryAlphabet.size()]);
  }
  return suffix;
}

// Creates a new, empty temporary file beside `path`; returns its descriptor and name.
std::pair<int, std::filesystem::path> createTemporaryBeside(const std::filesystem::path& path,
                                                            mode_t mode) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path temporary = path;
    temporary.replace_filename(temporaryPrefix(path) + randomSuffix());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 0777);
    if (fd >= 0) return {fd, temporary};
    if (errno != EEXIST) throwErrno(errno, "create temporary file for " + path.string());
  }
  throwErrno(EEXIST, "create temporary file for " + path.string());
}

void fsyncDirectoryOf(const std::filesystem::path& path) {
  std::filesystem::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) throwErrno(errno, "open directory of " + path.string());
  if (::fsync(fd.get()) != 0) throwErrno(errno, "fsync directory of " + path.string());
}

void replaceFile(const std::filesystem::path& path, std::string_view contents, mode_t mode,
                 const std::optional<FileOwner>& owner) {
  const auto created = createTemporaryBeside(path, mode);
  UniqueFd fd(created.first);
  const std::filesystem::path& temporary = created.second;
  auto fail = [&temporary](int error, const std::string& what) {
    ::unlink(temporary.c_str());
    throwErrno(error, what);
  };
  // The owner first: changing it may clear set-user-ID and set-group-ID bits.
  if (owner && ::fchown(fd.get(), owner->uid, owner->gid) != 0) {
    fail(errno, "set owner of " + path.string());
  }
  if (::fchmod(fd.get(), mode) != 0) fail(errno, "set permissions of " + path.string());
  if (int error = writeAll(fd.get(), contents)) fail(error, "write " + path.string());
  if (::fsync(fd.get()) != 0) fail(errno, "fsync " + path.string());
  if (int error = fd.close()) fail(error, "close " + path.string());
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno, "replace " + path.string());
  fsyncDirectoryOf(path);
}

}  // namespace

std::string readFile(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throwErrno(errno, "read " + path.string());
  std::string contents;
  struct stat info;
  if (::fstat(fd.get(), &info) == 0 && info.st_size > 0) {
    contents.reserve(static_cast<size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, "read " + path.string());
    }
    if (count == 0) break;
    contents.append(buffer, static_cast<size_t>(count));
  }
  return contents;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         mode_t mode) {
  replaceFile(path, contents, mode, std::nullopt);
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view contents, mode_t mode,
                         const FileOwner& owner) {
  replaceFile(path, contents, mode, owner);
}

size_t removeStaleTemporaries(const std::filesystem::path& path) {
  const std::string prefix = temporaryPrefix(path);
  const auto isOurs = [&prefix](const std::string& name) {
    return name.size() == prefix.size() + kTemporarySuffixLength && name.starts_with(prefix) &&
           name.find_first_not_of(kTemporaryAlphabet, prefix.size()) == std::string::npos;
  };
  std::filesystem::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  size_t removed = 0;
  std::error_code error;
  try {
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
      if (!isOurs(entry.path().filename().string())) continue;
      std::error_code typeError;
      if (entry.is_symlink(typeError) || !entry.is_regular_file(typeError)) continue;
      if (::unlink(entry.path().c_str()) == 0) ++removed;
    }
  } catch (const std::filesystem::filesystem_error&) {
    // What could be listed was handled.
  }
  return removed;
}

}  // namespace tamrin
