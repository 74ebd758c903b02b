#include "core/nsswitch_hosts.h"

#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <system_error>
#include <vector>

#include "core/file_io.h"
#include "core/system_error.h"

namespace tamrin {
namespace {

// The blanks of a line as glibc's parser sees them (isspace in the C locale, without '\n').
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

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

// The hosts line between `begin` and `end` (its line feed, or the end of the text), as glibc
// recognises it: after leading blanks the word "hosts", ended by ':' or a blank, then any
// blanks and colons before the sources. "hosts" alone at the very end of a text is no line.
std::optional<HostsLine> parseLine(std::string_view text, size_t begin, size_t end) {
  size_t i = begin;
  while (i < end && isBlank(text[i])) ++i;
  if (text.substr(i, 5) != "hosts") return std::nullopt;
  i += 5;
  if (i == text.size()) return std::nullopt;
  if (i < end && text[i] != ':' && !isBlank(text[i])) return std::nullopt;
  while (i < end && (isBlank(text[i]) || text[i] == ':')) ++i;
  HostsLine line{.sourcesStart = i, .sources = {}};
  // The sources end at a comment or at the end of the line.
  const size_t hash = text.substr(i, end - i).find('#');
  const size_t stop = hash == std::string_view::npos ? end : i + hash;
  // An action where a source should stand ends the sources, as it ends glibc's reading of them.
  while (i < stop && text[i] != '[') {
    Source source{.start = i, .nameEnd = i, .end = i, .next = i};
    while (i < stop && !isBlank(text[i]) && text[i] != '[') ++i;
    source.nameEnd = i;
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

// Every hosts: line of the text, in order. Throws NsswitchError when there is none.
std::vector<HostsLine> findHostsLines(std::string_view text) {
  std::vector<HostsLine> found;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    if (auto line = parseLine(text, begin, end)) found.push_back(std::move(*line));
    begin = end + 1;
  }
  if (found.empty()) {
    throw NsswitchError("nsswitch.conf has no hosts: line; add one, e.g. \"hosts: files dns\"");
  }
  return found;
}

// The one hosts: line of the text. Throws NsswitchError when there is none or several.
HostsLine findOnlyHostsLine(std::string_view text) {
  std::vector<HostsLine> lines = findHostsLines(text);
  if (lines.size() > 1) throw NsswitchError("nsswitch.conf has several hosts: lines; keep one");
  return std::move(lines.front());
}

// Whether the source is tamrin, also as ":tamrin", which glibc would read as tamrin once the
// sources before it were taken out.
bool isTamrin(std::string_view text, const Source& source) {
  std::string_view name = text.substr(source.start, source.nameEnd - source.start);
  while (name.starts_with(':')) name.remove_prefix(1);
  return name == "tamrin";
}

TamrinSource placeOnLine(std::string_view text, const HostsLine& line) {
  size_t count = 0;
  for (const Source& source : line.sources) count += isTamrin(text, source) ? 1 : 0;
  if (count == 0) return TamrinSource::absent;
  const Source& first = line.sources.front();
  const bool clean = count == 1 && isTamrin(text, first) && first.end == first.nameEnd;
  return clean ? TamrinSource::first : TamrinSource::misplaced;
}

// The sources of `line` without every "tamrin" source and the blanks that follow it; the bytes
// after the last source stay as they were (the blanks before a removed last one go instead).
std::string sourcesWithoutTamrin(std::string_view text, const HostsLine& line) {
  std::string kept;
  const Source* lastKept = nullptr;
  for (const Source& source : line.sources) {
    if (isTamrin(text, source)) continue;
    kept.append(text.substr(source.start, source.next - source.start));
    lastKept = &source;
  }
  const Source& last = line.sources.back();
  if (lastKept != nullptr && lastKept != &last) {
    kept.resize(kept.size() - (lastKept->next - lastKept->end));
    kept.append(text.substr(last.end, last.next - last.end));
  }
  return kept;
}

// `text` with `edit` applied to the sources of every hosts: line, each given as the line's
// sources and returning their replacement.
template <typename Edit>
std::string editEveryHostsLine(std::string_view text, const std::vector<HostsLine>& lines,
                               Edit edit) {
  std::string result;
  size_t copied = 0;
  for (const HostsLine& line : lines) {
    if (line.sources.empty()) continue;
    const size_t from = line.sources.front().start;
    const size_t to = line.sources.back().next;
    result.append(text.substr(copied, from - copied));
    result.append(edit(line));
    copied = to;
  }
  result.append(text.substr(copied));
  return result;
}

std::string withTamrinFirstOn(std::string_view text, const std::vector<HostsLine>& lines) {
  return editEveryHostsLine(text, lines, [&](const HostsLine& line) {
    if (placeOnLine(text, line) == TamrinSource::first) {
      const size_t from = line.sources.front().start;
      return std::string(text.substr(from, line.sources.back().next - from));
    }
    const std::string rest = sourcesWithoutTamrin(text, line);
    if (!rest.empty()) return "tamrin " + rest;
    // Only tamrin sources: one is left, followed by what followed the last.
    const Source& last = line.sources.back();
    return "tamrin" + std::string(text.substr(last.end, last.next - last.end));
  });
}

bool anyHasSources(const std::vector<HostsLine>& lines) {
  for (const HostsLine& line : lines) {
    if (!line.sources.empty()) return true;
  }
  return false;
}

}  // namespace

TamrinSource tamrinSourceOnHostsLine(std::string_view text) {
  const std::vector<HostsLine> lines = findHostsLines(text);
  bool anyFirst = false;
  bool anyListed = false;
  bool allFirst = true;
  for (const HostsLine& line : lines) {
    const TamrinSource place = placeOnLine(text, line);
    anyFirst |= place == TamrinSource::first;
    anyListed |= place != TamrinSource::absent;
    // A line without sources makes glibc use none: there is nothing for tamrin to come before.
    allFirst &= place == TamrinSource::first || line.sources.empty();
  }
  if (!anyListed) return TamrinSource::absent;
  return allFirst && anyFirst ? TamrinSource::first : TamrinSource::misplaced;
}

std::string withoutTamrin(std::string_view text) {
  const std::vector<HostsLine> lines = findHostsLines(text);
  return editEveryHostsLine(
      text, lines, [&](const HostsLine& line) { return sourcesWithoutTamrin(text, line); });
}

std::string withTamrinFirst(std::string_view text) {
  const HostsLine line = findOnlyHostsLine(text);
  if (line.sources.empty()) throw NsswitchError("the hosts: line of nsswitch.conf lists no source");
  return withTamrinFirstOn(text, {line});
}

std::string withTamrinFirstOnEveryHostsLine(std::string_view text) {
  const std::vector<HostsLine> lines = findHostsLines(text);
  if (!anyHasSources(lines)) {
    throw NsswitchError("the hosts: line of nsswitch.conf lists no source");
  }
  return withTamrinFirstOn(text, lines);
}

bool editNsswitchFile(const std::filesystem::path& path,
                      std::string (*edit)(std::string_view text)) {
  const std::filesystem::path target = std::filesystem::canonical(path);
  struct stat info;
  if (::stat(target.c_str(), &info) != 0) {
    throwErrno("stat " + target.string());
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
