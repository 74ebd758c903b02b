#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tamrin {

// An nsswitch.conf that cannot be edited safely: no hosts: line, several, or one without
// sources. The message names the problem in one line.
class NsswitchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the "tamrin" source stands on the hosts: line.
enum class TamrinSource {
  first,      // the first source, without an action of its own
  misplaced,  // listed, but not first or with an action such as [NOTFOUND=return]
  absent,
};

// Where "tamrin" stands on the hosts: lines of an nsswitch.conf text, recognised as glibc does
// ("hosts" after leading blanks, then ':' or a blank). "#" comments are ignored. With several
// lines (glibc uses the last), first means first on every line that lists a source. Throws
// NsswitchError when the text has no hosts: line.
TamrinSource tamrinSourceOnHostsLine(std::string_view text);

// The text with "tamrin " put before the first source of the hosts: line (after taking out a
// misplaced one); the same text when it is first already. Only that line changes. Throws
// NsswitchError when the text has no hosts: line or several, or its line lists no source.
std::string withTamrinFirst(std::string_view text);

// The same for every hosts: line that lists a source, so that whichever glibc uses asks
// tamrin first; lines without sources stay. Throws NsswitchError when no line lists a source.
std::string withTamrinFirstOnEveryHostsLine(std::string_view text);

// The text without the "tamrin" sources of every hosts: line and the blanks that follow each
// (the bytes after a line's last source stay); the same text when it has none. Only hosts:
// lines change. Throws NsswitchError when the text has no hosts: line.
std::string withoutTamrin(std::string_view text);

// Rewrites the file behind `path` (the target when it is a symbolic link, which stays) with
// `edit` applied, atomically, keeping its owner and permission bits; does not write when
// nothing changes. Returns whether it wrote. Throws NsswitchError or std::system_error.
bool editNsswitchFile(const std::filesystem::path& path,
                      std::string (*edit)(std::string_view text));

}  // namespace tamrin
