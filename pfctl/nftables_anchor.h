#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pfctl/filter_references.h"
#include "pfctl/nftables.h"
#include "pfctl/rule_listing.h"
#include "pfctl/rule_text.h"

namespace tamrin {

// What the JSON listing of the table says.
struct ParsedTable {
  AnchorContents contents;
  bool hasBaseChain = false;  // the chain "output" on the output hook exists
  bool enabled = false;       // ... as created, and holds exactly one rule, a jump to "block"
  std::string record;         // the text of the set "record" (record_set.h); "" without one
  bool inspectingNames = false;  // a chain of the names table exists (namesChainCommands)
  bool namesExact = false;       // ... and all three hold exactly what they are written with
};

// The anchor as the nftables table "inet tamrin": the sets "ipv4_addr" and "ipv6_addr" hold
// the blocked addresses (each element carries the label as its comment), the regular chain
// "block" rejects TCP (reset) and UDP (ICMP port unreachable) to ports 80 and 443 of those
// addresses, and the base chain "output" on the output hook jumps to it while the filter is on.
// While the daemon reads server names on the wire, the chains of the names table copy new flows
// to it and reject the flows it refused (namesChainCommands). Every read goes to the kernel.
class NftablesAnchor final : public FilterSwitch {
 public:
  explicit NftablesAnchor(Nftables& nftables) : nftables_(nftables) {}

  bool isEnabled() override;
  // Rebuilds the whole table with the base chain and its jump, keeping the addresses it held.
  void switchOn() override;
  // Rebuilds the whole table without the base chain, when that chain exists.
  void switchOff() override;

  // Rebuilds the whole table to hold exactly `rules`, keeping the base chain if it exists.
  void replaceRules(const RuleSet& rules);
  // Adds `addresses` to the sets in one transaction, without touching chains, rules or
  // connections; every element then carries the label of the whole new address set. Throws
  // PfctlError when the table does not exist.
  void addAddresses(const std::vector<IpAddress>& addresses);
  // Rebuilds the whole table with empty sets, keeping the base chain if it exists.
  void flushRules();
  // The block record kept in the table (record_set.h, where these three are defined): its
  // text, "" when there is none; replacing creates the table when it is missing.
  std::string record();
  void replaceRecord(std::string_view text);
  void flushRecord();
  // Rebuilds the whole table with or without the chains of the names table, keeping the rest;
  // nothing when they are already as `on` wants them.
  void inspectNames(bool on);
  // Whether the chains of the names table are in place, exactly as written.
  bool namesInspected();
  // Every operation above is one transaction and leaves nothing unexpected in the table.
  // What the kernel holds now; empty when the table does not exist.
  AnchorContents contents();

 private:
  // nullopt when the table does not exist.
  std::optional<ParsedTable> readTable();
  // The output of a list command; nullopt when what it lists does not exist.
  std::optional<std::string> listIfPresent(std::string_view command);

  Nftables& nftables_;
};

// The transaction that replaces the whole table by one that holds exactly `addresses` (each
// with its label), the sets, the block chain with its four rules and, when `switchedOn`, the
// base chain with its single jump, the block record `record` and, when `inspectingNames`, the
// chains of the names table: whatever else was in the table is gone. With no address, not
// switched on, no record and no names, the table is only deleted.
std::string tableCommands(const std::vector<ListedAddress>& addresses, bool switchedOn,
                          std::string_view record = {}, bool inspectingNames = false);

// The chains of the names table: "names" rejects TCP (reset) and UDP (ICMP port unreachable)
// of connections marked refused, then copies to log group kPacketCopyGroup every packet in the
// original direction of an undecided connection (no bit of kFlowMarkMask set) to TCP 80/443
// when the segment carries data (bare acknowledgements would only wake the reader; a SYN with
// data is TCP Fast Open's first request), and to UDP 443; "names_output" and "names_forward"
// jump to it last on their hooks. Packets never wait for the daemon: without it the copies are
// simply lost.
std::string namesChainCommands();

// The transaction that adds `added` to `current` and labels every element with the label of
// the union; empty when nothing changes.
std::string addAddressesCommands(const AnchorContents& current,
                                 const std::vector<IpAddress>& added);

// tableCommands for `rules`; `rules.label` holds no quote.
std::string replaceRulesCommands(const RuleSet& rules, bool switchedOn,
                                 std::string_view record = {}, bool inspectingNames = false);

// tableCommands with the base chain, keeping `addresses`.
std::string switchOnCommands(const std::vector<ListedAddress>& addresses,
                             std::string_view record = {}, bool inspectingNames = false);

// Reads the JSON listing of the table, noting in `contents.unexpected` whatever the table holds
// beyond its own sets, chains and rules. Throws PfctlError for JSON it cannot read.
ParsedTable parseTableListing(std::string_view json);

// Whether the JSON listing of all tables names the table "inet tamrin".
bool listsAnchorTable(std::string_view json);

}  // namespace tamrin
