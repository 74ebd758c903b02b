// Asks the daemon at the socket given as the only argument to prepare for removal and prints
// "ok" or the error's message. Exit status 0 on success, 1 on failure, 2 on bad usage.
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "core/daemon_client.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  try {
    tamrin::DaemonClient({.socketPath = argv[1], .expectedOwner = ::getuid()}).prepareForRemoval();
    std::puts("ok");
    return 0;
  } catch (const std::exception& error) {
    std::puts(error.what());
    return 1;
  }
}
