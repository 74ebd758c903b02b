#include "core/pfctl_wire.h"

namespace tamrin {
namespace {

PfctlArguments inAnchor(std::initializer_list<std::string_view> words) {
  PfctlArguments arguments = {std::string(kPfctlAnchorFlag), std::string(kPacketFilterAnchor)};
  arguments.insert(arguments.end(), words.begin(), words.end());
  return arguments;
}

}  // namespace

PfctlArguments pfctlShowInfo() { return {std::string(kPfctlShowFlag), std::string(kPfctlInfo)}; }

PfctlArguments pfctlEnable() { return {std::string(kPfctlEnableFlag)}; }

PfctlArguments pfctlRelease(std::string_view token) {
  return {std::string(kPfctlReleaseFlag), std::string(token)};
}

PfctlArguments pfctlLoadRules(std::string_view file) { return inAnchor({kPfctlFileFlag, file}); }

PfctlArguments pfctlFlushRules() { return inAnchor({kPfctlFlushFlag, kPfctlRules}); }

PfctlArguments pfctlListRules() { return inAnchor({kPfctlListRulesFlag}); }

PfctlArguments pfctlKillStates(std::span<const std::string> addresses) {
  PfctlArguments arguments;
  arguments.reserve(4 * addresses.size());
  for (const std::string& address : addresses) {
    const bool isIPv6 = address.find(':') != std::string::npos;
    arguments.insert(arguments.end(), {std::string(kPfctlKillFlag),
                                       std::string(isIPv6 ? kPfctlEveryIpv6 : kPfctlEveryIpv4),
                                       std::string(kPfctlKillFlag), address});
  }
  return arguments;
}

PfctlArguments pfctlTableCommand(std::string_view table, std::string_view command) {
  return inAnchor({kPfctlTableFlag, table, kPfctlTableCommandFlag, command});
}

PfctlArguments pfctlAddAddresses(std::span<const std::string> addresses) {
  PfctlArguments arguments = pfctlTableCommand(kPfctlBlockedTable, kPfctlAdd);
  arguments.insert(arguments.end(), addresses.begin(), addresses.end());
  return arguments;
}

PfctlArguments pfctlShowRecord() { return pfctlTableCommand(kPfctlRecordTable, kPfctlShow); }

PfctlArguments pfctlReplaceRecord(std::string_view file) {
  PfctlArguments arguments = pfctlTableCommand(kPfctlRecordTable, kPfctlReplace);
  arguments.insert(arguments.end(), {std::string(kPfctlFileFlag), std::string(file)});
  return arguments;
}

PfctlArguments pfctlFlushRecord() { return pfctlTableCommand(kPfctlRecordTable, kPfctlFlush); }

PfctlArguments pfctlInspectNames() { return pfctlTableCommand(kPfctlNamesTable, kPfctlAdd); }

PfctlArguments pfctlShowNames() { return pfctlTableCommand(kPfctlNamesTable, kPfctlShow); }

PfctlArguments pfctlStopInspectingNames() {
  return pfctlTableCommand(kPfctlNamesTable, kPfctlFlush);
}

}  // namespace tamrin
