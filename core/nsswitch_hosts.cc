#include "core/nsswitch_hosts.h"

#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <system_error>
#include <vector>

#include "core/file_io.h"

namespace tamrin {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// One source of the hosts: line: its name, and its extent with any [action] groups after it.
struct Source {
  size_t start;
  size_t nameEnd;
  size_t end;
  // Where the next source starts (or the end of the sources): the blanks up to it follow this
  // source.
  size_t next;
};

struct HostsLine {
  size_t sourcesStart;  // first byte after "hosts:" and its blanks
  std::vector<Source> sources;
};

std::optional<HostsLine> parseLine(std::string_view text, size_t begin, size_t end) {
  size_t i = begin;
  while (i < end && isBlank(text[i])) ++i;
  if (text.substr(i, 5) != "hosts") return std::nullopt;
  i += 5;
  while (i < end && isBlank(text[i])) ++i;
  if (i >= end || text[i] != ':') return std::nullopt;
  ++i;
  while (i < end && isBlank(text[i])) ++i;
  HostsLine line{.sourcesStart = i, .sources = {}};
  // The sources end at a comment or at the end of the line.
  const size_t hash = text.substr(i, end - i).find('#');
  const size_t stop = hash == std::string_view::npos ? end : i + hash;
  while (i < stop) {
    Source source{.start = i, .nameEnd = i, .end = i, .next = i};
    if (text[i] == '[') {
      // An action without a source before it: keep it as a source of its own.
      while (i < stop && text[i] != ']') ++i;
      source.nameEnd = i;
    } else {
      while (i < stop && !isBlank(text[i]) && text[i] != '[') ++i;
      source.nameEnd = i;
    }
    if (i < stop && text[i] == ']') ++i;
    // Action groups belong to the source before them.
    for (;;) {
      size_t j = i;
      while (j < stop && isBlank(text[j])) ++j;
      if (j >= stop || text[j] != '[') break;
      while (j < stop && text[j] != ']') ++j;
      i = j < stop ? j + 1 : j;
    }
    source.end = i;
    while (i < stop && isBlank(text[i])) ++i;
    source.next = i;
    line.sources.push_back(source);
  }
  return line;
}

// The hosts: line of the text. Throws NsswitchError when there is none or several.
HostsLine findHostsLine(std::string_view text) {
  std::optional<HostsLine> found;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    if (auto line = parseLine(text, begin, end)) {
      if (found) throw NsswitchError("nsswitch.conf has several hosts: lines; keep one");
      found = std::move(line);
    }
    begin = end + 1;
  }
  if (!found)
    throw NsswitchError("nsswitch.conf has no hosts: line; add one, e.g. \"hosts: files dns\"");
  return *found;
}

bool isTamrin(std::string_view text, const Source& source) {
  return text.substr(source.start, source.nameEnd - source.start) == "tamrin";
}

}  // namespace

TamrinSource tamrinSourceOnHostsLine(std::string_view text) {
  const HostsLine line = findHostsLine(text);
  size_t count = 0;
  for (const Source& source : line.sources) count += isTamrin(text, source) ? 1 : 0;
  if (count == 0) return TamrinSource::absent;
  const Source& first = line.sources.front();
  const bool clean = count == 1 && isTamrin(text, first) && first.end == first.nameEnd;
  return clean ? TamrinSource::first : TamrinSource::misplaced;
}

std::string withoutTamrin(std::string_view text) {
  const HostsLine line = findHostsLine(text);
  std::string result(text);
  // From the last source to the first, so earlier offsets stay valid.
  for (size_t k = line.sources.size(); k-- > 0;) {
    const Source& source = line.sources[k];
    if (!isTamrin(text, source)) continue;
    const bool last = source.next == source.end && k + 1 == line.sources.size();
    if (last && k > 0) {
      const size_t from = line.sources[k - 1].end;
      result.erase(from, source.end - from);
    } else {
      result.erase(source.start, source.next - source.start);
    }
  }
  return result;
}

std::string withTamrinFirst(std::string_view text) {
  if (tamrinSourceOnHostsLine(text) == TamrinSource::first) return std::string(text);
  std::string result = withoutTamrin(text);
  const HostsLine line = findHostsLine(result);
  if (line.sources.empty()) throw NsswitchError("the hosts: line of nsswitch.conf lists no source");
  result.insert(line.sourcesStart, "tamrin ");
  return result;
}

bool editNsswitchFile(const std::filesystem::path& path,
                      std::string (*edit)(std::string_view text)) {
  const std::filesystem::path target = std::filesystem::canonical(path);
  struct stat info;
  if (::stat(target.c_str(), &info) != 0) {
    throw std::system_error(errno, std::generic_category(), "stat " + target.string());
  }
  if (!S_ISREG(info.st_mode)) throw NsswitchError(target.string() + " is not a regular file");
  const std::string before = readFile(target);
  const std::string after = edit(before);
  if (after == before) return false;
  writeFileAtomically(target, after, info.st_mode & 07777,
                      FileOwner{.uid = info.st_uid, .gid = info.st_gid});
  return true;
}

}  // namespace tamrin
