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

// Reads the hosts: line of an nsswitch.conf text. Comment lines and "#" comments at the end of
// a line are ignored. Throws NsswitchError when the text has no hosts: line or several.
TamrinSource tamrinSourceOnHostsLine(std::string_view text);

// The text with "tamrin " put before the first source of the hosts: line (after taking out a
// misplaced one); the same text when it is first already. Throws NsswitchError as above, and
// when the line lists no source.
std::string withTamrinFirst(std::string_view text);

// The text without the "tamrin" source and the blanks that follow it (the blanks before it
// when it is last); the same text when it has none. Every other byte is kept.
std::string withoutTamrin(std::string_view text);

// Rewrites the file behind `path` (the target when it is a symbolic link, which stays) with
// `edit` applied, atomically, keeping its owner and permission bits; does not write when
// nothing changes. Returns whether it wrote. Throws NsswitchError or std::system_error.
bool editNsswitchFile(const std::filesystem::path& path,
                      std::string (*edit)(std::string_view text));

}  // namespace tamrin
