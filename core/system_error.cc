#include "core/system_error.h"

#include <cerrno>
#include <string>
#include <system_error>

namespace tamrin {

void throwErrno(int error, std::string_view what) {
  throw std::system_error(error, std::generic_category(), std::string(what));
}

void throwErrno(std::string_view what) { throwErrno(errno, what); }

}  // namespace tamrin
