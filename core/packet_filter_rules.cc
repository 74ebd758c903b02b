#include "core/packet_filter_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "core/tamrin_error.h"

namespace tamrin {
namespace {

using namespace rule_text;

// The distinct address texts in ascending byte order.
std::vector<std::string> distinctSorted(const std::vector<std::string>& addresses) {
  std::vector<std::string> sorted = addresses;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  return sorted;
}

std::string labelForSorted(const std::vector<std::string>& sorted) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  auto mix = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  };
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (i > 0) mix('\n');
    for (char c : sorted[i]) mix(static_cast<unsigned char>(c));
  }
  char digits[16];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, hash, 16);
  (void)ec;  // 16 hex digits always fit.
  return std::string(kLabelPrefix) + std::string(digits, end);
}

// "inet" or "inet6" for an address text; throws invalidPacketFilterAddress otherwise.
std::string_view familyOf(const std::string& address) {
  in_addr v4;
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return "inet";
  in6_addr v6;
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return "inet6";
  throw TamrinError(TamrinError::Kind::invalidPacketFilterAddress);
}

}  // namespace

std::string packetFilterRules(const std::vector<std::string>& addresses) {
  const std::vector<std::string> sorted = distinctSorted(addresses);
  if (sorted.empty()) throw TamrinError(TamrinError::Kind::domainResolution);
  const std::string label = labelForSorted(sorted);

  std::string text;
  for (const std::string& address : sorted) {
    // A text with an embedded NUL would pass inet_pton on its prefix only.
    if (address.find('\0') != std::string::npos) {
      throw TamrinError(TamrinError::Kind::invalidPacketFilterAddress);
    }
    const std::string_view family = familyOf(address);
    text.append(kHead).append(family).append(kProtocols).append(kSource).append(address);
    text.append(kPortsAndLabelOpener).append(label).append(kLabelCloser).append("\n");
  }
  return text;
}

std::string packetFilterRuleLabel(const std::vector<std::string>& addresses) {
  return labelForSorted(distinctSorted(addresses));
}

}  // namespace tamrin
