// tamrin-uninstall: asks the daemon to take its protection away before Tamrin is removed;
// refused while a block is running.

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "control/descriptor_writer.h"
#include "control/uninstall.h"
#include "core/daemon_client.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
  return tamrin::runUninstall(
      arguments, [] { tamrin::DaemonClient().prepareForRemoval(); },
      [](std::string_view bytes) { tamrin::writeToDescriptor(2, bytes); });
}
