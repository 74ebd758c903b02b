#pragma once

#include <string_view>

namespace tamrin {

// Throws std::system_error for the errno value `error`; its text is `what`, a colon and the
// error's description ("open /run/tamrin: Permission denied").
[[noreturn]] void throwErrno(int error, std::string_view what);

// As above, for the value errno holds now.
[[noreturn]] void throwErrno(std::string_view what);

}  // namespace tamrin
