// tamrinctl: `status` prints the daemon's status as one line of JSON; `configure` sends the
// JSON configuration on standard input to the daemon and prints the fresh status.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "control/control_commands.h"
#include "control/descriptor_writer.h"

int main(int argc, char** argv) {
  // A closed standard output is reported as a failed write, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
  tamrin::ControlEnvironment environment{
      .daemon = tamrin::DaemonCalls::through(tamrin::DaemonClient()),
      .input = &std::cin,
      .now = [] { return tamrin::Instant::fromTimePoint(std::chrono::system_clock::now()); },
      .calendar = [] { return tamrin::Calendar::current(); },
      .writeOutput = [](std::string_view bytes) { tamrin::writeToDescriptor(1, bytes); },
      .writeError = [](std::string_view bytes) { tamrin::writeToDescriptor(2, bytes); },
  };
  return tamrin::runControl(arguments, environment);
}
