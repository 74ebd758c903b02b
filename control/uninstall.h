#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace tamrin {

// Asks the daemon to take its protection away before the files are removed. Returns 0 when it
// agreed; otherwise writes "error: <message>\n" in one write and returns 1 (2, with the usage
// line, when any argument is given).
int runUninstall(std::span<const std::string> arguments,
                 const std::function<void()>& prepareForRemoval,
                 const std::function<void(std::string_view)>& writeError);

}  // namespace tamrin
