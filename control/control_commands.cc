#include "control/control_commands.h"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <utility>

#include "control/bounded_input.h"
#include "control/configure_request.h"
#include "control/control_error.h"
#include "control/control_status.h"
#include "control/version.h"
#include "core/configuration_limits.h"

namespace tamrin {
namespace {

// The status line goes out as the JSON bytes, then the newline as a second write.
void printStatus(ControlEnvironment& environment, const DaemonStatus& status) {
  const ControlStatus printed =
      makeControlStatus(status, environment.now(), environment.calendar());
  const std::string line = encodeControlStatus(printed);
  environment.writeOutput(line);
  environment.writeOutput("\n");
}

void statusCommand(ControlEnvironment& environment) {
  const DaemonStatus status = environment.daemon.status();
  printStatus(environment, status);
}

void configureCommand(ControlEnvironment& environment) {
  if (environment.input == nullptr) throw ControlError::missingInput();
  const std::string bytes = readBoundedInput(*environment.input);
  if (bytes.empty()) throw ControlError::missingInput();
  // Everything is checked before the daemon hears of it.
  const TamrinConfiguration configuration = cleanedConfiguration(decodeConfigureRequest(bytes));
  requireReportableSize(configuration);

  std::optional<DaemonStatus> before;
  try {
    before = environment.daemon.status();
  } catch (const TamrinClientError& error) {
    // A daemon that refuses the status (it cannot use its stored state) is sent the
    // configuration as a first one, which replaces that state; a timeout stays the answer.
    if (error.kind() != TamrinClientError::Kind::remote) throw;
  }
  if (before && before->policy) {
    environment.daemon.updateConfiguration(configuration);
  } else {
    environment.daemon.enableBlocking(configuration);
  }
  const DaemonStatus status = environment.daemon.status();
  printStatus(environment, status);
}

void usageCommand(ControlEnvironment& environment) {
  environment.writeOutput(std::string(kUsageMessage) + "\n");
}

void versionCommand(ControlEnvironment& environment) {
  environment.writeOutput("tamrinctl " + std::string(tamrinVersion()) + "\n");
}

constexpr std::array kCommands = {
    ControlCommand{"status", "print the blocking status as one line of JSON", statusCommand},
    ControlCommand{"configure", "send the JSON configuration on standard input, print the status",
                   configureCommand},
    ControlCommand{"help", "print the usage line", usageCommand},
    ControlCommand{"--help", "print the usage line", usageCommand},
    ControlCommand{"--version", "print the version", versionCommand},
};

int exitStatusFor(const std::exception& error) {
  if (const auto* control = dynamic_cast<const ControlError*>(&error)) {
    return control->exitStatus();
  }
  return 1;
}

}  // namespace

DaemonCalls DaemonCalls::through(DaemonClient client) {
  return DaemonCalls{
      .status = [client] { return client.status(); },
      .enableBlocking =
          [client](const TamrinConfiguration& configuration) {
            client.enableBlocking(configuration);
          },
      .updateConfiguration =
          [client](const TamrinConfiguration& configuration) {
            client.updateConfiguration(configuration);
          },
  };
}

std::span<const ControlCommand> controlCommands() { return kCommands; }

int runControl(std::span<const std::string> arguments, ControlEnvironment& environment) {
  std::string failure;
  int exitStatus = 1;
  try {
    const auto command =
        std::find_if(kCommands.begin(), kCommands.end(), [&](const ControlCommand& candidate) {
          return arguments.size() == 1 && arguments.front() == candidate.name;
        });
    if (command == kCommands.end()) throw ControlError::invalidInvocation();
    command->run(environment);
    return 0;
  } catch (const std::exception& error) {
    failure = error.what();
    exitStatus = exitStatusFor(error);
  } catch (...) {
    failure = "An unexpected error occurred.";
  }
  try {
    environment.writeError("error: " + failure + "\n");
  } catch (...) {
    // Nowhere left to report it; the exit status still tells.
  }
  return exitStatus;
}

}  // namespace tamrin
