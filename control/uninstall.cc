#include "control/uninstall.h"

#include <exception>

namespace tamrin {

int runUninstall(std::span<const std::string> arguments,
                 const std::function<void()>& prepareForRemoval,
                 const std::function<void(std::string_view)>& writeError) {
  std::string failure;
  int exitStatus = 1;
  if (!arguments.empty()) {
    failure = "Usage: tamrin-uninstall";
    exitStatus = 2;
  } else {
    try {
      prepareForRemoval();
      return 0;
    } catch (const std::exception& error) {
      failure = error.what();
    } catch (...) {
      failure = "An unexpected error occurred.";
    }
  }
  try {
    writeError("error: " + failure + "\n");
  } catch (...) {
    // Nowhere left to report it; the exit status still tells.
  }
  return exitStatus;
}

}  // namespace tamrin
