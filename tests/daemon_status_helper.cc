// Prints the daemon's own status record as one line of JSON (what it measured, such as the
// layers in force and the counts of names on the wire, before tamrinctl shapes it for users).
// The daemon admits only the programs its seal lists, so a scenario adds this one to a copy of
// the bundle and seals it again. Exit status 1 with the error on standard error.
#include <cstdio>
#include <exception>
#include <string>

#include "core/daemon_client.h"
#include "core/daemon_status.h"

int main() {
  try {
    const std::string line = tamrin::encodeDaemonStatus(tamrin::DaemonClient().status());
    std::printf("%s\n", line.c_str());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "daemon_status_helper: %s\n", error.what());
    return 1;
  }
}
