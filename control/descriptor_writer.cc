#include "control/descriptor_writer.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tamrin {

void writeToDescriptor(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write");
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace tamrin
