#include "core/public_suffix.h"

#include "core/file_io.h"

namespace tamrin {
namespace {

constexpr const char* kSystemListPath = "/usr/share/publicsuffix/public_suffix_list.dat";

}  // namespace

PublicSuffixList::PublicSuffixList(std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    // A rule is the first word of its line.
    line = line.substr(0, line.find_first_of(" \t\r"));
    if (line.empty() || line.starts_with("//")) continue;
    if (line.starts_with("!")) {
      exceptions_.emplace(line.substr(1));
    } else if (line.starts_with("*.")) {
      wildcards_.emplace(line.substr(2));
    } else {
      rules_.emplace(line);
    }
  }
}

bool PublicSuffixList::isPublicSuffix(std::string_view name) const {
  const size_t dot = name.find('.');
  if (dot == std::string_view::npos) return !name.empty();
  const std::string key(name);
  if (exceptions_.contains(key)) return false;
  if (rules_.contains(key)) return true;
  return wildcards_.contains(std::string(name.substr(dot + 1)));
}

const PublicSuffixList& PublicSuffixList::system() {
  static const PublicSuffixList list = [] {
    try {
      return PublicSuffixList(readFile(kSystemListPath));
    } catch (const std::exception&) {
      return PublicSuffixList("");
    }
  }();
  return list;
}

}  // namespace tamrin
