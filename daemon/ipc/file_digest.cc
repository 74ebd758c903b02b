#include "daemon/ipc/file_digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "core/ipc_socket.h"
#include "core/system_error.h"

namespace tamrin {

std::string sha256OfDescriptor(int fd) {
  return sha256OfDescriptor(fd, std::numeric_limits<std::uint64_t>::max());
}

std::string sha256OfDescriptor(int fd, std::uint64_t limit) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is unavailable");
  }
  std::array<unsigned char, 64 * 1024> buffer;
  for (;;) {
    const ssize_t count = ::read(
        fd, buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), limit)));
    if (count < 0) {
      if (errno == EINTR) continue;
      throwErrno("read");
    }
    if (count == 0) break;
    limit -= static_cast<std::uint64_t>(count);
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(count));
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest;
  unsigned int size = 0;
  EVP_DigestFinal_ex(context.get(), digest.data(), &size);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xf]);
  }
  return hex;
}

std::string sha256OfFile(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) throwErrno(path.string());
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    throwErrno(path.string());
  }
  if (!S_ISREG(info.st_mode)) {
    throwErrno(EINVAL, path.string() + " is not a file");
  }
  return sha256OfDescriptor(fd.get());
}

}  // namespace tamrin
