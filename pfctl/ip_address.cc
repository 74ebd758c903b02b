#include "pfctl/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace tamrin {

std::optional<IpAddress> IpAddress::parse(std::string_view text, int family) {
  if (family != AF_INET && family != AF_INET6) return std::nullopt;
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  IpAddress address;
  address.family = family;
  const std::string terminated(text);
  if (inet_pton(family, terminated.c_str(), address.bytes.data()) != 1) return std::nullopt;
  return address;
}

std::string IpAddress::text() const {
  char buffer[INET6_ADDRSTRLEN];
  if (inet_ntop(family, bytes.data(), buffer, sizeof buffer) == nullptr) return {};
  return buffer;
}

}  // namespace tamrin
