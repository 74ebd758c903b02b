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
  bool enabled = false;       // ... and holds exactly one rule, a jump to "block"
};

// The anchor as the nftables table "inet tamrin": the sets "ipv4_addr" and "ipv6_addr" hold
// the blocked addresses (each element carries the label as its comment), the regular chain
// "block" rejects TCP (reset) and UDP (ICMP port unreachable) to ports 80 and 443 of those
// addresses, and the base chain "output" on the output hook jumps to it while the filter is on.
// Every read goes to the kernel.
class NftablesAnchor final : public FilterSwitch {
 public:
  explicit NftablesAnchor(Nftables& nftables) : nftables_(nftables) {}

  bool isEnabled() override;
  // Creates whatever is missing of the table, sets and chains, and the jump; one transaction.
  void switchOn() override;
  // Removes the base chain when it exists; sets and block chain stay.
  void switchOff() override;

  // Makes the sets hold exactly `rules`, in one transaction.
  void replaceRules(const RuleSet& rules);
  // Adds `addresses` to the sets in one transaction, without touching chains, rules or
  // connections; every element then carries the label of the whole new address set. Throws
  // PfctlError when the table does not exist.
  void addAddresses(const std::vector<IpAddress>& addresses);
  // Empties both sets (addresses and labels).
  void flushRules();
  // What the kernel holds now; empty when the table does not exist.
  AnchorContents contents();

 private:
  // nullopt when the table does not exist.
  std::optional<ParsedTable> readTable();

  Nftables& nftables_;
};

// The transaction that makes the table hold exactly `rules`. It also rebuilds the block
// chain's rules, so that a rule removed by hand comes back. `rules.label` holds no quote.
std::string replaceRulesCommands(const RuleSet& rules);

// The transaction that adds `added` to `current` and labels every element with the label of
// the union; empty when nothing changes.
std::string addAddressesCommands(const AnchorContents& current,
                                 const std::vector<IpAddress>& added);

// The transaction that puts the base chain, with its single jump, in place.
std::string switchOnCommands();

// Reads the JSON listing of the table. Throws PfctlError for JSON it cannot read.
ParsedTable parseTableListing(std::string_view json);

// Whether the JSON listing of all tables names the table "inet tamrin".
bool listsAnchorTable(std::string_view json);

}  // namespace tamrin
