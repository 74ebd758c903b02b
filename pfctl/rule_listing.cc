#include "pfctl/rule_listing.h"

#include <algorithm>
#include <utility>

namespace tamrin {

std::string formatRuleListing(const AnchorContents& contents) {
  std::vector<std::pair<std::string, const ListedAddress*>> sorted;
  sorted.reserve(contents.addresses.size());
  for (const ListedAddress& listed : contents.addresses) {
    sorted.emplace_back(listed.address.text(), &listed);
  }
  std::sort(sorted.begin(), sorted.end());

  std::string listing;
  for (const auto& [text, listed] : sorted) {
    const int family = listed->address.family;
    for (Protocol protocol : {Protocol::tcp, Protocol::udp}) {
      for (int port : {80, 443}) {
        if (!contents.rules.contains(RejectRule{family, protocol, port})) continue;
        listing.append("block return out quick ")
            .append(family == AF_INET ? "inet" : "inet6")
            .append(" proto ")
            .append(protocol == Protocol::tcp ? "tcp" : "udp")
            .append(" from any to ")
            .append(text)
            .append(" port = ")
            .append(std::to_string(port))
            .append(" label \"")
            .append(listed->label)
            .append("\"\n");
      }
    }
  }
  for (const std::string& description : contents.unexpected) {
    listing.append("unexpected: ").append(description).append("\n");
  }
  return listing;
}

}  // namespace tamrin
