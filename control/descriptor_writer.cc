#include "control/descriptor_writer.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/system_error.h"

namespace tamrin {

void writeToDescriptor(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throwErrno("write");
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace tamrin
