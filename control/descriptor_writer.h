#pragma once

#include <string_view>

namespace tamrin {

// Writes all of `bytes` to the open descriptor `fd` in one write call where the system allows,
// continuing after short writes and interruptions. Throws std::system_error when writing fails.
void writeToDescriptor(int fd, std::string_view bytes);

}  // namespace tamrin
