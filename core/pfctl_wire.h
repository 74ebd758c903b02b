#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tamrin {

// The argument lists the daemon runs tamrin-pfctl with and the lines the tool answers with,
// spelled once for both programs: the tool accepts exactly the lists built here.

using PfctlArguments = std::vector<std::string>;

// The anchor that holds this system's rules, and the tables kept in it.
inline constexpr std::string_view kPacketFilterAnchor = "com.apple/app.tamrin";
inline constexpr std::string_view kPfctlBlockedTable = "blocked";
inline constexpr std::string_view kPfctlRecordTable = "record";
// Not addresses: the rules that copy new flows to the daemon and reject the flows it refused.
inline constexpr std::string_view kPfctlNamesTable = "names";

// The words of the lists.
inline constexpr std::string_view kPfctlAnchorFlag = "-a";
inline constexpr std::string_view kPfctlShowFlag = "-s";
inline constexpr std::string_view kPfctlInfo = "info";
inline constexpr std::string_view kPfctlEnableFlag = "-E";
inline constexpr std::string_view kPfctlReleaseFlag = "-X";
inline constexpr std::string_view kPfctlFileFlag = "-f";
inline constexpr std::string_view kPfctlFlushFlag = "-F";
inline constexpr std::string_view kPfctlRules = "rules";
inline constexpr std::string_view kPfctlListRulesFlag = "-sr";
inline constexpr std::string_view kPfctlKillFlag = "-k";
inline constexpr std::string_view kPfctlEveryIpv4 = "0.0.0.0/0";
inline constexpr std::string_view kPfctlEveryIpv6 = "::/0";
inline constexpr std::string_view kPfctlTableFlag = "-t";
inline constexpr std::string_view kPfctlTableCommandFlag = "-T";
inline constexpr std::string_view kPfctlAdd = "add";
inline constexpr std::string_view kPfctlShow = "show";
inline constexpr std::string_view kPfctlReplace = "replace";
inline constexpr std::string_view kPfctlFlush = "flush";

// What the tool prints: the state for "-s info", and the line carrying the token of "-E".
inline constexpr std::string_view kPfctlStatusEnabled = "Status: Enabled";
inline constexpr std::string_view kPfctlStatusDisabled = "Status: Disabled";
inline constexpr std::string_view kPfctlTokenPrefix = "Token : ";
// What "-t names -T show" prints while the rules of the names table are in place.
inline constexpr std::string_view kPfctlNamesInspected = "Names: Inspected";

PfctlArguments pfctlShowInfo();                        // -s info
PfctlArguments pfctlEnable();                          // -E
PfctlArguments pfctlRelease(std::string_view token);   // -X <token>
PfctlArguments pfctlLoadRules(std::string_view file);  // -a <anchor> -f <file>
PfctlArguments pfctlFlushRules();                      // -a <anchor> -F rules
PfctlArguments pfctlListRules();                       // -a <anchor> -sr
// A pair "-k <every address of the family> -k <address>" per address, in the given order; an
// address with a colon is an IPv6 one.
PfctlArguments pfctlKillStates(std::span<const std::string> addresses);
// -a <anchor> -t <table> -T <command>: how every table command starts.
PfctlArguments pfctlTableCommand(std::string_view table, std::string_view command);
// -a <anchor> -t blocked -T add <address>...
PfctlArguments pfctlAddAddresses(std::span<const std::string> addresses);
PfctlArguments pfctlShowRecord();                          // -a <anchor> -t record -T show
PfctlArguments pfctlReplaceRecord(std::string_view file);  // ... -T replace -f <file>
PfctlArguments pfctlFlushRecord();                         // ... -T flush
PfctlArguments pfctlInspectNames();                        // -a <anchor> -t names -T add
PfctlArguments pfctlShowNames();                           // ... -T show
PfctlArguments pfctlStopInspectingNames();                 // ... -T flush

}  // namespace tamrin
