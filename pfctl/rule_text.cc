#include "pfctl/rule_text.h"

#include <algorithm>
#include <set>

#include "core/packet_filter_rules.h"
#include "pfctl/pfctl_error.h"

namespace tamrin {
namespace {

using namespace rule_text;

struct Line {
  IpAddress address;
  std::string_view label;
};

bool consume(std::string_view& text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

bool isLabel(std::string_view label) {
  if (!consume(label, kLabelPrefix)) return false;
  return !label.empty() && label.size() <= 16 &&
         std::all_of(label.begin(), label.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// One rule line; throws PfctlError with the reason (without the line number).
Line parseLine(std::string_view text) {
  const auto notARule = [] {
    return PfctlError(
        "not a rule line (block return out quick <inet|inet6> proto { tcp udp } "
        "from any to <address> port { 80 443 } label \"<label>\")");
  };
  if (!consume(text, kHead)) throw notARule();
  int family;
  if (consume(text, "inet6")) {
    family = AF_INET6;
  } else if (consume(text, "inet")) {
    family = AF_INET;
  } else {
    throw notARule();
  }
  if (!consume(text, kProtocols) || !consume(text, kSource)) throw notARule();
  const size_t addressEnd = text.find(kPortsAndLabelOpener);
  if (addressEnd == std::string_view::npos) throw notARule();
  const std::string_view addressText = text.substr(0, addressEnd);
  text.remove_prefix(addressEnd + kPortsAndLabelOpener.size());
  if (!text.ends_with(kLabelCloser)) throw notARule();
  const std::string_view label = text.substr(0, text.size() - kLabelCloser.size());

  const auto address = IpAddress::parse(addressText, family);
  if (!address) {
    throw PfctlError("\"" + std::string(addressText) + "\" is not an " +
                     (family == AF_INET ? "IPv4" : "IPv6") + " address");
  }
  if (!isLabel(label)) {
    throw PfctlError("label \"" + std::string(label) +
                     "\" is not \"tamrin-\" followed by 1 to 16 lowercase hexadecimal digits");
  }
  return Line{*address, label};
}

}  // namespace

RuleSet parseRuleText(std::string_view text) {
  RuleSet rules;
  std::set<IpAddress> seen;
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    const std::string_view lineText = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    try {
      const Line line = parseLine(lineText);
      if (number == 1) {
        rules.label = line.label;
      } else if (line.label != rules.label) {
        throw PfctlError("label \"" + std::string(line.label) + "\" differs from \"" + rules.label +
                         "\" of line 1");
      }
      if (seen.insert(line.address).second) rules.addresses.push_back(line.address);
    } catch (const PfctlError& error) {
      throw PfctlError("line " + std::to_string(number) + ": " + error.what());
    }
  }
  return rules;
}

}  // namespace tamrin
