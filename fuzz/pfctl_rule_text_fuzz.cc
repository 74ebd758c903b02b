// Feeds arbitrary bytes to the packet-filter tool's rule-text parser. Whatever it accepts holds
// distinct addresses of their stated family, and the daemon's writer, given those addresses,
// writes text that parses to the same addresses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/packet_filter_rules.h"
#include "fuzz/fuzz_check.h"
#include "pfctl/pfctl_error.h"
#include "pfctl/rule_text.h"

using tamrin::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tamrin;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RuleSet rules;
  try {
    rules = parseRuleText(text);
  } catch (const PfctlError&) {
    return 0;
  }
  check(rules.addresses.empty() == rules.label.empty());
  const std::set<IpAddress> distinct(rules.addresses.begin(), rules.addresses.end());
  check(distinct.size() == rules.addresses.size());
  if (rules.addresses.empty()) return 0;

  std::vector<std::string> texts;
  for (const IpAddress& address : rules.addresses) {
    check(IpAddress::parse(address.text(), address.family) == address);
    texts.push_back(address.text());
  }
  const RuleSet rewritten = parseRuleText(packetFilterRules(texts));
  check(std::set<IpAddress>(rewritten.addresses.begin(), rewritten.addresses.end()) == distinct);
  check(rewritten.label == packetFilterRuleLabel(texts));
  return 0;
}
