#include "core/hosts_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/blocked_hostnames.h"
#include "core/file_io.h"
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

// The whole file as text; ill-formed UTF-8 is refused.
std::string readText(const fs::path& path) {
  std::string text = readFile(path);
  if (!isValidUtf8(text)) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                            "read " + path.string() + ": not valid UTF-8 text");
  }
  return text;
}

// Returns 0 or the errno of the failing write.
int writeAllAt(int fd, std::string_view contents) {
  off_t offset = 0;
  while (!contents.empty()) {
    const ssize_t written = ::pwrite(fd, contents.data(), contents.size(), offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    contents.remove_prefix(static_cast<size_t>(written));
    offset += written;
  }
  return 0;
}

// Returns 0 or the errno of the first failing step: truncate, write, fsync.
int overwrite(int fd, std::string_view contents) {
  if (::ftruncate(fd, 0) != 0) return errno;
  if (int error = writeAllAt(fd, contents)) return error;
  return ::fsync(fd) == 0 ? 0 : errno;
}

// Rewrites a file that cannot be replaced (a mount point) through its own inode, so mode and
// owner stay. When the new text cannot be written the old text is written back.
void rewriteInPlace(const fs::path& path, std::string_view text, std::string_view previous) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path.string());
  const int error = overwrite(fd, text);
  if (error != 0) (void)overwrite(fd, previous);
  const int closeError = ::close(fd) == 0 ? 0 : errno;
  if (error != 0) throw std::system_error(error, std::generic_category(), "write " + path.string());
  if (closeError != 0) {
    throw std::system_error(closeError, std::generic_category(), "close " + path.string());
  }
}

}  // namespace

std::string HostsFile::withoutManagedBlock(std::string_view text) {
  const size_t begin = text.find(kBeginMarker);
  const size_t end = text.find(kEndMarker);
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

  std::string result;
  result.reserve(size);
  result.append(text);
  if (!result.ends_with('\n')) result += '\n';
  result.append("\n").append(kBeginMarker).append("\n");
  // The entry lines joined with line feeds, then one line feed: a block without entries
  // has one empty line between its markers, a block with entries none.
  if (names.empty()) result.append("\n");
  for (const std::string& name : names) {
    result.append("0.0.0.0\t").append(name).append("\n");
    result.append("::\t").append(name).append("\n");
  }
  result.append(kEndMarker).append("\n");
  return result;
}

bool HostsFile::setBlocked(bool blocked, const std::vector<std::string>& domains) const {
  // Edit the file a symbolic link points to; the link itself stays.
  const fs::path target = fs::is_symlink(url) ? fs::canonical(url) : url;
  const std::string text = readText(target);
  std::string wanted = withoutManagedBlock(text);
  if (blocked) wanted = addingManagedBlock(wanted, domains);
  if (wanted == text) return false;

  struct stat info;
  if (::stat(target.c_str(), &info) != 0) {
    throw std::system_error(errno, std::generic_category(), "stat " + target.string());
  }
  try {
    writeFileAtomically(target, wanted, info.st_mode & 07777,
                        FileOwner{.uid = info.st_uid, .gid = info.st_gid});
  } catch (const std::system_error& error) {
    if (error.code() != std::errc::device_or_resource_busy) throw;
    rewriteInPlace(target, wanted, text);
  }
  return true;
}

bool HostsFile::containsManagedBlock(const std::optional<std::vector<std::string>>& domains) const {
  const std::string text = readText(url);
  const std::string withoutBlock = withoutManagedBlock(text);
  if (withoutBlock == text) return false;
  if (!domains) return true;
  return addingManagedBlock(withoutBlock, *domains) == text;
}

}  // namespace tamrin
