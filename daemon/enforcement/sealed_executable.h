#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "core/ipc_socket.h"

namespace tamrin {

// A private copy of an executable file in a sealed memory file: once it is made, a changed
// mode, new content or the removal of the file leave what runs as it was. The copy can be
// neither written, nor grown, nor shrunk, and its seals cannot be lifted. Run it with the
// runSystemCommand overload that takes it (ELF programs only: a script's interpreter could
// not open the copy).
class SealedExecutable {
 public:
  // Copies the regular file at `path`. Throws std::system_error when the file cannot be read or
  // the kernel offers no sealed memory files.
  static std::shared_ptr<const SealedExecutable> copyOf(const std::filesystem::path& path);

  // The copy, close-on-exec.
  int descriptor() const { return fd_.get(); }
  // The file it was copied from; messages name the program by it.
  const std::filesystem::path& origin() const { return origin_; }
  // SHA-256 of the copy's content, 64 lower-case hex digits.
  const std::string& digest() const { return digest_; }

 private:
  SealedExecutable(UniqueFd fd, std::filesystem::path origin, std::string digest)
      : fd_(std::move(fd)), origin_(std::move(origin)), digest_(std::move(digest)) {}

  UniqueFd fd_;
  std::filesystem::path origin_;
  std::string digest_;
};

// The sealed copy of `file`, a file of the bundle directory `bundle`, checked against the
// digest that the bundle's seal lists for it. nullptr when the seal cannot be read or does not
// list the file, or when no copy can be made: the caller then runs the file itself. Throws
// DaemonStartupError (a modified sealed file) when the copy's digest differs from the sealed one.
std::shared_ptr<const SealedExecutable> verifiedSealedCopy(const std::filesystem::path& file,
                                                           const std::filesystem::path& bundle);

}  // namespace tamrin
