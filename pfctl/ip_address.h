#pragma once

#include <sys/socket.h>

#include <array>
#include <compare>
#include <optional>
#include <string>
#include <string_view>

namespace tamrin {

// An IPv4 or IPv6 address in binary form; IPv4 uses the first four bytes.
struct IpAddress {
  int family = AF_INET;  // AF_INET or AF_INET6
  std::array<unsigned char, 16> bytes{};

  // The address `text` denotes in `family`, as inet_pton reads it; nullopt for anything else
  // (host names, prefix lengths, zone suffixes, blanks, embedded NULs).
  static std::optional<IpAddress> parse(std::string_view text, int family);

  // The canonical text (inet_ntop): what the kernel's listing shows for this address.
  std::string text() const;

  auto operator<=>(const IpAddress&) const = default;
};

}  // namespace tamrin
