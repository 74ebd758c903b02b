#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pfctl/ip_address.h"

namespace tamrin {

// What one run of the tool does (the lists are built in core/pfctl_wire.h).
enum class Action {
  showInfo,             // -s info
  enable,               // -E
  release,              // -X <token>
  loadRules,            // -a <anchor> -f <file>
  flushRules,           // -a <anchor> -F rules
  listRules,            // -a <anchor> -sr
  killStates,           // -k 0.0.0.0/0 -k <IPv4>  |  -k ::/0 -k <IPv6>, one pair or more in a row
  addAddresses,         // -a <anchor> -t blocked -T add <address>... (1 to kMaxAddedAddresses)
  showRecord,           // -a <anchor> -t record -T show
  replaceRecord,        // -a <anchor> -t record -T replace -f <file>
  flushRecord,          // -a <anchor> -t record -T flush
  inspectNames,         // -a <anchor> -t names -T add
  showNames,            // -a <anchor> -t names -T show
  stopInspectingNames,  // -a <anchor> -t names -T flush
};

// The most addresses one "-T add" takes.
inline constexpr std::size_t kMaxAddedAddresses = 4096;

struct Command {
  Action action;
  std::string operand;  // the token of `release`, the file of `loadRules` or `replaceRecord`
  // The destinations of `killStates` in the given order, or the addresses of `addAddresses`.
  std::vector<IpAddress> addresses;
};

// The command an argument list (without the program name) stands for. Only the exact lists
// above are accepted, and for killStates any number of its pairs one after another; anything
// else throws PfctlError naming the arguments.
Command parseArguments(std::span<const std::string> arguments);

}  // namespace tamrin
