#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tamrin {

// The longest host name a server name may be (RFC 1035, without the trailing dot).
inline constexpr std::size_t kMaximumServerNameLength = 253;

// The server name `text` read off the wire, lowercased with one trailing dot dropped; empty
// when it is not a host name: empty, too long, an empty label, or a byte other than an ASCII
// letter, digit, '-', '_' or '.' (so a NUL byte or a space makes it no name).
std::string normalizedServerName(std::string_view text);

// Blocked names, matched as the daemon blocks them: a name equal to a blocked host name
// (a domain and its "www."; see core/blocked_hostnames.h) or equal to or under a "*." rule's
// domain; ASCII case-insensitive; one trailing dot ignored.
class BlockedNameMatcher {
 public:
  BlockedNameMatcher() = default;
  explicit BlockedNameMatcher(const std::vector<std::string>& domains);  // canonical domains
  // Allocates nothing; work grows with the labels of `name`.
  bool matches(std::string_view name) const;
  bool empty() const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  using NameSet = std::unordered_set<std::string, Hash, std::equal_to<>>;
  NameSet exact_;     // whole names
  NameSet suffixes_;  // the D of every "*." + D rule
};

}  // namespace tamrin
