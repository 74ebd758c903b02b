#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pfctl/ip_address.h"

namespace tamrin {

// The anchor that holds the blocked addresses.
inline constexpr std::string_view kAnchorName = "com.apple/app.tamrin";

// What one run of the tool does.
enum class Action {
  showInfo,    // -s info
  enable,      // -E
  release,     // -X <token>
  loadRules,   // -a <anchor> -f <file>
  flushRules,  // -a <anchor> -F rules
  listRules,   // -a <anchor> -sr
  killStates,  // -k 0.0.0.0/0 -k <IPv4>  |  -k ::/0 -k <IPv6>, one pair or more in a row
};

struct Command {
  Action action;
  std::string operand;               // the token of `release`, the file of `loadRules`
  std::vector<IpAddress> addresses;  // the destinations of `killStates`, in the given order
};

// The command an argument list (without the program name) stands for. Only the exact lists
// above are accepted, and for killStates any number of its pairs one after another; anything
// else throws PfctlError naming the arguments.
Command parseArguments(std::span<const std::string> arguments);

}  // namespace tamrin
