#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

namespace tamrin {

// The rules of a public suffix list (the format of publicsuffix.org: one rule per line, "//"
// comments, "*." wildcard rules and "!" exceptions). A name under no rule is a public suffix
// only when it is a single label (the list's implicit "*" rule).
class PublicSuffixList {
 public:
  explicit PublicSuffixList(std::string_view text);

  // Whether `name` (lower case, without a trailing dot) is itself a public suffix, so that a
  // rule for it and every name under it would cover many unrelated owners.
  bool isPublicSuffix(std::string_view name) const;

  // Debian's list, read once on first use. When it cannot be read, only single labels count.
  static const PublicSuffixList& system();

 private:
  std::unordered_set<std::string> rules_;
  std::unordered_set<std::string> wildcards_;   // "*.ck" kept as "ck"
  std::unordered_set<std::string> exceptions_;  // "!www.ck" kept as "www.ck"
};

}  // namespace tamrin
