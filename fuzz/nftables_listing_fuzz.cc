// Feeds arbitrary bytes to the packet-filter tool's readers of the nftables JSON listing. They
// either refuse with their own error or give contents that the rule listing can print: valid
// addresses, rules of a known family, "enabled" only with the base chain, the names chains
// exact only when present.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "pfctl/nftables_anchor.h"
#include "pfctl/pfctl_error.h"
#include "pfctl/rule_listing.h"

using tamrin::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tamrin;
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  try {
    (void)listsAnchorTable(json);
  } catch (const PfctlError&) {
  }
  ParsedTable table;
  try {
    table = parseTableListing(json);
  } catch (const PfctlError&) {
    return 0;
  }
  check(!table.enabled || table.hasBaseChain);
  check(!table.namesExact || table.inspectingNames);
  for (const ListedAddress& listed : table.contents.addresses) {
    check(listed.address.family == AF_INET || listed.address.family == AF_INET6);
    check(IpAddress::parse(listed.address.text(), listed.address.family) == listed.address);
  }
  for (const RejectRule& rule : table.contents.rules) {
    check(rule.family == AF_INET || rule.family == AF_INET6);
  }
  // Every address with a rule of its family on port 80 or 443 is listed.
  const std::string listing = formatRuleListing(table.contents);
  for (const ListedAddress& listed : table.contents.addresses) {
    bool ruled = false;
    for (const RejectRule& rule : table.contents.rules) {
      ruled =
          ruled || (rule.family == listed.address.family && (rule.port == 80 || rule.port == 443));
    }
    const std::string line = " to " + listed.address.text() + " port = ";
    check(!ruled || listing.find(line) != std::string::npos);
  }
  return 0;
}
