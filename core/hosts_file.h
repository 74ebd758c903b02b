#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamrin {

// Keeps one managed block of sink entries ("0.0.0.0" and "::" for every blocked host name)
// between "# BEGIN TAMRIN BLOCK" and "# END TAMRIN BLOCK" in a hosts file. Everything outside
// the block is carried over byte for byte, whatever its encoding: markers are found by byte and
// only the block's ASCII text is added or removed, and, during a block, the ASCII prefix that
// hides a line naming a blocked host. Every call reads the file afresh; no lock is taken, so
// callers serialise their calls.
//
// File operations throw TamrinError corruptHostsBlock when only one marker is present or the
// end marker comes first, and std::system_error for file access, naming the path: a file that
// is not a regular file (device, FIFO, socket, directory) or is larger than
// kMaximumHostsFileBytes is neither read nor written. No error leaves a partly written file.
struct HostsFile {
  HostsFile() = default;
  explicit HostsFile(std::filesystem::path url) : url(std::move(url)) {}

  // Brings the file to one block for `domains` (blocked) or to none (`domains` ignored). While
  // blocked, the user's lines that give an address to a blocked host are hidden, since the
  // resolver would take their address too (or first); unblocked, they are shown again.
  // Returns false, without opening the file for writing, when it already was so. A write
  // replaces the file atomically with the same permission bits, owner and group; a symbolic
  // link stays a link to the edited file; a file that cannot be replaced because it is a
  // mount point is rewritten in place from the first byte that changes, so the text before
  // the block survives a crash, and restored when that write fails.
  bool setBlocked(bool blocked, const std::vector<std::string>& domains) const;

  // Without `domains`: whether the file holds a managed block or lines hidden for one. With
  // them: whether the file is exactly its user text with the lines naming a blocked host hidden
  // and the current block for `domains` added. A missing file holds none. Never writes.
  bool containsManagedBlock(const std::optional<std::vector<std::string>>& domains) const;

  // `text` without the first managed block and one line break on either side of it; unchanged
  // when it has none. A block that an interrupted write left at the end (begin marker, entry
  // lines, no end marker) is removed from its leading line feed on. Throws corruptHostsBlock
  // for other unbalanced or misordered markers.
  static std::string withoutManagedBlock(std::string_view text);

  // `text`, given a final line feed when it lacks one, followed by a fresh block for
  // `domains`. Host names that cannot stand in a hosts line (blanks, control characters, '#',
  // line breaks, ill-formed UTF-8) get no entry.
  static std::string addingManagedBlock(std::string_view text,
                                        const std::vector<std::string>& domains);

  // Before a line of the user's that the block hides: the line stays, as a comment, and is
  // shown again when the block goes.
  static constexpr std::string_view kHiddenLinePrefix = "# hidden by Tamrin during a block: ";

  // `text` with each line that gives an address to a host name of `domains` (in any case, as
  // the resolver compares) behind kHiddenLinePrefix; comment lines never are.
  static std::string hidingLinesNaming(std::string_view text,
                                       const std::vector<std::string>& domains);

  // `text` with kHiddenLinePrefix taken off every line that starts with it.
  static std::string withHiddenLinesShown(std::string_view text);

  // The address of each line of `text` that gives one to any of `hostnames` (in any case, as
  // the resolver compares), in the order of the lines; comments give nothing.
  static std::vector<std::string> addressesNaming(std::string_view text,
                                                  const std::vector<std::string>& hostnames);

  // Whether the file, links followed, is a device, FIFO or socket: something that a reader
  // such as the system resolver may wait on for ever or never reach the end of.
  bool isDeviceFifoOrSocket() const;

  // The file that is edited: the target of `url` when it is a symbolic link, else `url`.
  // Throws std::filesystem::filesystem_error for a dangling link or a link loop.
  std::filesystem::path editedPath() const;

  std::filesystem::path url;
};

}  // namespace tamrin
