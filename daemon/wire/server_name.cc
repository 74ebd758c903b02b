#include "daemon/wire/server_name.h"

#include <array>

#include "core/blocked_hostnames.h"
#include "core/configuration.h"

namespace tamrin {
namespace {

char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

// `text` lowercased into `buffer` with one trailing dot dropped; empty when it cannot be a
// host name.
std::string_view lowercasedName(std::string_view text,
                                std::array<char, kMaximumServerNameLength>& buffer) {
  if (text.ends_with('.')) text.remove_suffix(1);
  if (text.empty() || text.size() > buffer.size()) return {};
  char previous = '.';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!isNameByte(c) || (c == '.' && previous == '.')) return {};
    buffer[i] = lowered(c);
    previous = c;
  }
  if (previous == '.') return {};
  return {buffer.data(), text.size()};
}

}  // namespace

std::string normalizedServerName(std::string_view text) {
  std::array<char, kMaximumServerNameLength> buffer;
  return std::string(lowercasedName(text, buffer));
}

BlockedNameMatcher::BlockedNameMatcher(const std::vector<std::string>& domains) {
  for (std::string& name : blockedHostnames(domains)) {
    const std::string normal = normalizedServerName(name);
    if (!normal.empty()) exact_.insert(normal);
  }
  for (const std::string& domain : domains) {
    if (!isSuffixRule(domain)) continue;
    const std::string normal = normalizedServerName(ruleDomain(domain));
    if (!normal.empty()) suffixes_.insert(normal);
  }
}

bool BlockedNameMatcher::matches(std::string_view name) const {
  std::array<char, kMaximumServerNameLength> buffer;
  const std::string_view lower = lowercasedName(name, buffer);
  if (lower.empty()) return false;
  if (exact_.find(lower) != exact_.end()) return true;
  if (suffixes_.empty()) return false;
  for (std::string_view rest = lower;;) {
    if (suffixes_.find(rest) != suffixes_.end()) return true;
    const std::size_t dot = rest.find('.');
    if (dot == std::string_view::npos) return false;
    rest.remove_prefix(dot + 1);
  }
}

bool BlockedNameMatcher::empty() const { return exact_.empty() && suffixes_.empty(); }

}  // namespace tamrin
