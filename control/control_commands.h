#pragma once

#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "core/calendar.h"
#include "core/configuration.h"
#include "core/daemon_client.h"
#include "core/daemon_status.h"
#include "core/instant.h"

namespace tamrin {

// The daemon operations the commands use. Each throws on failure, with the message to show.
struct DaemonCalls {
  std::function<DaemonStatus()> status;
  std::function<void(const TamrinConfiguration&)> enableBlocking;
  std::function<void(const TamrinConfiguration&)> updateConfiguration;

  // The real operations, each over a fresh connection of `client`.
  static DaemonCalls through(DaemonClient client);
};

// Everything a command touches outside itself.
struct ControlEnvironment {
  DaemonCalls daemon;
  // Standard input; not owned.
  std::istream* input = nullptr;
  std::function<Instant()> now;
  std::function<Calendar()> calendar;
  // Each call is one write to standard output or standard error; throws when it fails.
  std::function<void(std::string_view)> writeOutput;
  std::function<void(std::string_view)> writeError;
};

// One entry of the command line: the whole argument list is exactly `name`.
struct ControlCommand {
  std::string_view name;
  std::string_view help;
  void (*run)(ControlEnvironment& environment);
};

// status, configure, help, --help and --version.
std::span<const ControlCommand> controlCommands();

// Runs the command named by `arguments` (the words after the program name) and returns the
// exit status: 0 on success; otherwise "error: <message>\n" goes to standard error in one
// write, with status 2 for a wrong command line and 1 for every other failure.
int runControl(std::span<const std::string> arguments, ControlEnvironment& environment);

}  // namespace tamrin
