// The hosts: line editor changes nothing but hosts: lines: every other line stays byte for
// byte, the number of lines stays, tamrin ends up first (or gone), adding twice adds once,
// and removing what was added gives back a text that had no tamrin.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/nsswitch_hosts.h"
#include "fuzz/fuzz_check.h"

using tamrin::check;

namespace {

// A line that may be a hosts: line: "hosts" after blanks, then the end, ':' or a blank. Wider
// than the editor's own rule, so that only lines it may touch are left out of the comparison.
bool mayBeHostsLine(std::string_view line) {
  const size_t start = line.find_first_not_of(" \t\r\v\f");
  if (start == std::string_view::npos || line.substr(start, 5) != "hosts") return false;
  const std::string_view rest = line.substr(start + 5);
  return rest.empty() || rest.front() == ':' ||
         std::string_view(" \t\r\v\f").find(rest[0]) != std::string_view::npos;
}

struct Lines {
  std::vector<std::string_view> others;
  size_t hostsLines = 0;
};

Lines split(std::string_view text) {
  Lines lines;
  for (size_t begin = 0; begin <= text.size();) {
    size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(begin, end - begin);
    if (mayBeHostsLine(line)) {
      ++lines.hostsLines;
    } else {
      lines.others.push_back(line);
    }
    begin = end + 1;
  }
  return lines;
}

void checkOnlyHostsLinesChanged(std::string_view before, std::string_view after) {
  const Lines a = split(before);
  const Lines b = split(after);
  check(a.others == b.others);
  check(a.hostsLines == b.hostsLines);
}

template <typename Edit>
bool edited(Edit edit, std::string_view text, std::string& result) {
  try {
    result = edit(text);
  } catch (const tamrin::NsswitchError&) {
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tamrin;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<TamrinSource> place;
  try {
    place = tamrinSourceOnHostsLine(text);
  } catch (const NsswitchError&) {
  }

  std::string removed;
  if (edited(withoutTamrin, text, removed)) {
    checkOnlyHostsLinesChanged(text, removed);
    check(tamrinSourceOnHostsLine(removed) == TamrinSource::absent);
    check(withoutTamrin(removed) == removed);
  }
  for (auto add : {withTamrinFirst, withTamrinFirstOnEveryHostsLine}) {
    std::string added;
    if (!edited(add, text, added)) continue;
    check(place.has_value());
    checkOnlyHostsLinesChanged(text, added);
    check(tamrinSourceOnHostsLine(added) == TamrinSource::first);
    check(add(added) == added);
    if (place == TamrinSource::first) check(added == text);
    if (place == TamrinSource::absent) check(withoutTamrin(added) == text);
  }
  return 0;
}
