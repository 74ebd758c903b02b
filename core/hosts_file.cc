#include "core/hosts_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <system_error>

#include "core/blocked_hostnames.h"
#include "core/file_io.h"
#include "core/in_place_rewrite.h"
#include "core/regular_file.h"
#include "core/tamrin_error.h"
#include "core/unicode_text.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBeginMarker = "# BEGIN TAMRIN BLOCK";
constexpr std::string_view kEndMarker = "# END TAMRIN BLOCK";

bool isSingleByteLineBreak(char c) { return c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Bytes of the line-break character that ends right before `end`, or 0. A CR LF pair is one
// character.
size_t lineBreakBefore(std::string_view text, size_t end) {
  const std::string_view head = text.substr(0, end);
  if (head.ends_with("\r\n") || head.ends_with("\xC2\x85")) return 2;
  if (head.ends_with("\xE2\x80\xA8") || head.ends_with("\xE2\x80\xA9")) return 3;
  if (!head.empty() && isSingleByteLineBreak(head.back())) return 1;
  return 0;
}

// Bytes of the line-break character that starts at `start`, or 0.
size_t lineBreakAt(std::string_view text, size_t start) {
  const std::string_view tail = text.substr(start);
  if (tail.starts_with("\r\n") || tail.starts_with("\xC2\x85")) return 2;
  if (tail.starts_with("\xE2\x80\xA8") || tail.starts_with("\xE2\x80\xA9")) return 3;
  if (!tail.empty() && isSingleByteLineBreak(tail.front())) return 1;
  return 0;
}

// Whether `name` can stand as the name field of a hosts line without changing the file's
// structure: no blank, control character, comment sign or line break, and well-formed UTF-8.
bool isWritableHostName(std::string_view name) {
  if (name.empty() || !isValidUtf8(name)) return false;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '#') return false;
  }
  return name.find("\xC2\x85") == std::string_view::npos &&
         name.find("\xE2\x80\xA8") == std::string_view::npos &&
         name.find("\xE2\x80\xA9") == std::string_view::npos;
}

// A byte that may stand in a host name of an entry line we write.
bool isHostNameByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte != 0x7F && c != '#';
}

// Whether `line` is a prefix (`complete` false) or the whole (`complete` true) of an entry
// line we write: a sink address, a tab, a host name.
bool isEntryLine(std::string_view line, bool complete) {
  for (std::string_view sink : {std::string_view("0.0.0.0\t"), std::string_view("::\t")}) {
    if (!complete && sink.starts_with(line)) return true;
    if (!line.starts_with(sink)) continue;
    const std::string_view name = line.substr(sink.size());
    if (complete && name.empty()) return false;
    return std::all_of(name.begin(), name.end(), isHostNameByte);
  }
  return false;
}

// Whether `tail`, everything after a begin marker up to the end of the text, is what an
// interrupted write of our block leaves: its entry lines (an empty line only right after the
// marker), the last one possibly cut, or a cut end marker, and nothing else.
bool isInterruptedBlockTail(std::string_view tail) {
  if (tail.empty()) return true;
  if (tail.front() != '\n') return false;
  tail.remove_prefix(1);
  for (bool first = true;; first = false) {
    const size_t lineEnd = tail.find('\n');
    const std::string_view line = tail.substr(0, lineEnd);
    if (lineEnd == std::string_view::npos) {
      return kEndMarker.starts_with(line) || isEntryLine(line, false);
    }
    if (!(line.empty() ? first : isEntryLine(line, true))) return false;
    tail.remove_prefix(lineEnd + 1);
  }
}

// Where the block that an interrupted write left at the end of `text` starts (its leading line
// feed), or npos. Our block is always written after a line feed as "\n# BEGIN ...", so such a
// text has an empty line and then either a begin marker cut after at least "# " at its very
// end, or a whole begin marker followed by what isInterruptedBlockTail accepts.
size_t interruptedBlockStart(std::string_view text, size_t begin) {
  if (begin == std::string_view::npos) {
    const size_t lineStart = text.rfind('\n') + 1;  // npos + 1 == 0
    const std::string_view last = text.substr(lineStart);
    if (last.size() >= 2 && last.size() < kBeginMarker.size() && kBeginMarker.starts_with(last) &&
        text.substr(0, lineStart).ends_with("\n\n")) {
      return lineStart - 1;
    }
    return std::string_view::npos;
  }
  if (!text.substr(0, begin).ends_with("\n\n")) return std::string_view::npos;
  if (!isInterruptedBlockTail(text.substr(begin + kBeginMarker.size()))) {
    return std::string_view::npos;
  }
  return begin - 1;
}

bool isHostsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

using NameSet = std::set<std::string, std::less<>>;

NameSet lowerCaseNames(const std::vector<std::string>& names) {
  NameSet lower;
  for (const std::string& name : names) lower.insert(lowerCase(name));
  return lower;
}

// The address of a hosts line that gives one to any of `wanted` (lower case), else nothing: the
// resolver reads an address, then names, up to a '#', and compares names without regard to case.
std::optional<std::string_view> addressNamingAny(std::string_view line, const NameSet& wanted) {
  line = line.substr(0, line.find('#'));
  std::optional<std::string_view> address;
  for (size_t i = 0; i < line.size();) {
    while (i < line.size() && isHostsBlank(line[i])) ++i;
    const size_t start = i;
    while (i < line.size() && !isHostsBlank(line[i])) ++i;
    if (start == i) break;
    const std::string_view field = line.substr(start, i - start);
    if (!address) {
      address = field;
    } else if (wanted.contains(lowerCase(field))) {
      return address;
    }
  }
  return std::nullopt;
}

// Calls `visit` with each line of `text` (without its line feed) and whether a line feed ends it.
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
  for (size_t begin = 0; begin < text.size();) {
    const size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) {
      visit(text.substr(begin), false);
      return;
    }
    visit(text.substr(begin, end - begin), true);
    begin = end + 1;
  }
}

}  // namespace

std::string HostsFile::hidingLinesNaming(std::string_view text,
                                         const std::vector<std::string>& domains) {
  const NameSet wanted = lowerCaseNames(blockedHostnames(domains));
  std::string result;
  result.reserve(text.size());
  forEachLine(text, [&](std::string_view line, bool ended) {
    if (addressNamingAny(line, wanted)) result.append(kHiddenLinePrefix);
    result.append(line);
    if (ended) result.push_back('\n');
  });
  return result;
}

std::string HostsFile::withHiddenLinesShown(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  forEachLine(text, [&](std::string_view line, bool ended) {
    if (line.starts_with(kHiddenLinePrefix)) line.remove_prefix(kHiddenLinePrefix.size());
    result.append(line);
    if (ended) result.push_back('\n');
  });
  return result;
}

std::vector<std::string> HostsFile::addressesNaming(std::string_view text,
                                                    const std::vector<std::string>& hostnames) {
  const NameSet wanted = lowerCaseNames(hostnames);
  std::vector<std::string> addresses;
  forEachLine(text, [&](std::string_view line, bool) {
    if (const auto address = addressNamingAny(line, wanted)) addresses.emplace_back(*address);
  });
  return addresses;
}

std::string HostsFile::withoutManagedBlock(std::string_view text) {
  const size_t begin = text.find(kBeginMarker);
  const size_t end = text.find(kEndMarker);
  if (end == std::string_view::npos) {
    const size_t interrupted = interruptedBlockStart(text, begin);
    if (interrupted != std::string_view::npos) return std::string(text.substr(0, interrupted));
  }
  if (begin == std::string_view::npos && end == std::string_view::npos) return std::string(text);
  if (begin == std::string_view::npos || end == std::string_view::npos || end <= begin) {
    throw TamrinError(TamrinError::Kind::corruptHostsBlock);
  }
  const size_t cutStart = begin - lineBreakBefore(text, begin);
  size_t cutEnd = end + kEndMarker.size();
  cutEnd += lineBreakAt(text, cutEnd);

  std::string result;
  result.reserve(text.size() - (cutEnd - cutStart));
  result.append(text.substr(0, cutStart)).append(text.substr(cutEnd));
  return result;
}

std::string HostsFile::addingManagedBlock(std::string_view text,
                                          const std::vector<std::string>& domains) {
  std::vector<std::string> names = blockedHostnames(domains);
  std::erase_if(names, [](const std::string& name) { return !isWritableHostName(name); });
  size_t size = text.size() + 1 + kBeginMarker.size() + kEndMarker.size() + 4;
  for (const std::string& name : names) size += 2 * name.size() + 13;

  std::string block;
  block.reserve(size - text.size());
  block.append("\n").append(kBeginMarker).append("\n");
  // The entry lines joined with line feeds, then one line feed: a block without entries
  // has one empty line between its markers, a block with entries none.
  if (names.empty()) block.append("\n");
  for (const std::string& name : names) {
    block.append("0.0.0.0\t").append(name).append("\n");
    block.append("::\t").append(name).append("\n");
  }
  block.append(kEndMarker).append("\n");

  std::string result;
  result.reserve(size);
  result.append(text);
  if (!result.ends_with('\n')) result += '\n';
  return result.append(block);
}

std::filesystem::path HostsFile::editedPath() const {
  // Edit the file a symbolic link points to; the link itself stays. A dangling link or a
  // link loop throws here.
  return fs::is_symlink(url) ? fs::canonical(url) : url;
}

bool HostsFile::isDeviceFifoOrSocket() const {
  struct stat info;
  if (::stat(url.c_str(), &info) != 0) return false;
  return S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ||
         S_ISSOCK(info.st_mode);
}

bool HostsFile::setBlocked(bool blocked, const std::vector<std::string>& domains) const {
  const fs::path target = editedPath();
  const RegularFileContents read = readRegularFile(target, kMaximumHostsFileBytes);
  const std::string& text = read.bytes;
  const std::string user = withHiddenLinesShown(withoutManagedBlock(text));
  std::string wanted = blocked ? hidingLinesNaming(user, domains) : user;
  const size_t keptLength = wanted.size();  // the text before the block, kept through a crash
  if (blocked) wanted = addingManagedBlock(wanted, domains);
  if (wanted == text) return false;

  const struct stat& info = read.info;
  try {
    writeFileAtomically(target, wanted, info.st_mode & 07777,
                        FileOwner{.uid = info.st_uid, .gid = info.st_gid});
  } catch (const std::system_error& error) {
    if (error.code() != std::errc::device_or_resource_busy) throw;
    rewriteInPlace(target, info, wanted, text, keptLength);
  }
  return true;
}

bool HostsFile::containsManagedBlock(const std::optional<std::vector<std::string>>& domains) const {
  std::string text;
  try {
    text = readRegularFile(editedPath(), kMaximumHostsFileBytes).bytes;
  } catch (const std::system_error& error) {
    // No file (or a link to none) holds no block, whatever else cannot be read.
    if (error.code() == std::errc::no_such_file_or_directory) return false;
    throw;
  }
  const std::string withoutBlock = withoutManagedBlock(text);
  const std::string user = withHiddenLinesShown(withoutBlock);
  if (withoutBlock == text && user == text) return false;
  if (!domains) return true;
  return addingManagedBlock(hidingLinesNaming(user, *domains), *domains) == text;
}

}  // namespace tamrin
