#include "daemon/enforcement/sealed_executable.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <system_error>

#include "core/system_error.h"
#include "daemon/ipc/file_digest.h"
#include "daemon/ipc/seal.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

#ifndef MFD_EXEC
#define MFD_EXEC \
  0x0010U  // kernels since 6.3: the copy may be executed whatever vm.memfd_noexec says
#endif

UniqueFd createMemoryFile(const std::string& name) {
  constexpr unsigned kFlags = MFD_CLOEXEC | MFD_ALLOW_SEALING;
  int fd = ::memfd_create(name.c_str(), kFlags | MFD_EXEC);
  if (fd < 0 && errno == EINVAL) fd = ::memfd_create(name.c_str(), kFlags);  // before 6.3
  if (fd < 0) throwErrno(errno, "cannot create a sealed copy of " + name);
  return UniqueFd(fd);
}

void copyAll(int from, int to, const fs::path& path) {
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(from, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throwErrno(errno, "cannot read " + path.string());
    if (count == 0) return;
    for (ssize_t written = 0; written < count;) {
      const ssize_t step = ::write(to, buffer + written, static_cast<std::size_t>(count - written));
      if (step < 0 && errno == EINTR) continue;
      if (step < 0) throwErrno(errno, "cannot copy " + path.string());
      written += step;
    }
  }
}

}  // namespace

std::shared_ptr<const SealedExecutable> SealedExecutable::copyOf(const fs::path& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file) throwErrno(errno, "cannot open " + path.string());
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throwErrno(errno, "cannot examine " + path.string());
  if (!S_ISREG(status.st_mode)) throwErrno(EINVAL, path.string() + " is not a regular file");

  UniqueFd copy = createMemoryFile(path.filename().string());
  copyAll(file.get(), copy.get(), path);
  constexpr int kSeals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
  if (::fcntl(copy.get(), F_ADD_SEALS, kSeals) != 0) {
    throwErrno(errno, "cannot seal the copy of " + path.string());
  }
  if (::lseek(copy.get(), 0, SEEK_SET) != 0) {
    throwErrno(errno, "cannot read the copy of " + path.string());
  }
  std::string digest = sha256OfDescriptor(copy.get());
  return std::shared_ptr<const SealedExecutable>(
      new SealedExecutable(std::move(copy), path, std::move(digest)));
}

std::shared_ptr<const SealedExecutable> verifiedSealedCopy(const fs::path& file,
                                                           const fs::path& bundle) {
  std::optional<std::string> sealed;
  try {
    sealed =
        sealedDigest(bundle, file.lexically_normal().lexically_relative(bundle.lexically_normal()));
  } catch (const DaemonStartupError&) {
    return nullptr;  // the client requirement's own check reports the seal
  }
  if (!sealed) return nullptr;
  std::shared_ptr<const SealedExecutable> copy;
  try {
    copy = SealedExecutable::copyOf(file);
  } catch (const std::system_error&) {
    return nullptr;
  }
  if (copy->digest() != *sealed) throw DaemonStartupError::codeSigning(kSealedFileChangedStatus);
  return copy;
}

}  // namespace tamrin
