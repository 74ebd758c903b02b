#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/pfctl_wire.h"
#include "daemon/enforcement/system_command.h"

namespace tamrin {

// Runs the packet-filter tool with the given arguments and returns its output; may throw.
using PacketFilterRunner = std::function<std::string(const std::vector<std::string>&)>;

// The real tool: packetFilterExecutable() through runSystemCommand.
PacketFilterRunner systemPacketFilterRunner();

class SealedExecutable;
// The real tool run from `tool`, the sealed copy of it made at start.
PacketFilterRunner sealedPacketFilterRunner(std::shared_ptr<const SealedExecutable> tool);

// Keeps block rules for a set of addresses in the anchor, and the filter switched on under a
// reference token of its own, stored in `directory` ("pf-token", beside "pf-rules.conf").
// Not synchronised: callers serialise the operations on one directory.
struct PacketFilter {
  std::filesystem::path directory = defaultPacketFilterDirectory();
  PacketFilterRunner runner = systemPacketFilterRunner();

  // Makes the anchor hold exactly the rules for `addresses`, the filter be on under this
  // controller's token and existing connections to the addresses be cut (one run of the tool
  // with a "-k" pair per address; also when only the filter had to be switched back on); runs
  // only the status
  // and listing commands when all of that already holds. Throws TamrinError domainResolution
  // for an empty list, invalidPacketFilterAddress, runner and file-system failures.
  // Returns true when everything was already in place (only status and listing ran).
  bool enable(const std::vector<std::string>& addresses) const;

  // Adds `addresses` to the rules in force, in one step that reloads nothing and cuts no
  // connection; the listing then carries the label of the whole new address set. Runs
  // nothing for an empty list. Throws runner failures.
  void addAddresses(const std::vector<std::string>& addresses) const;

  // Removes the anchor's rules, gives the token back and deletes both files. Only the listing
  // and the removal of the rules can fail; once the rules are gone, the rest always completes.
  void disable() const;

  // Without addresses: whether the anchor holds any rule. With addresses: whether the filter
  // is on and the anchor holds exactly their rules (false for an empty list, without a run).
  bool containsManagedBlock(const std::optional<std::vector<std::string>>& addresses) const;

  // Whether the anchor's listing prints anything at all.
  bool containsAnyRules() const;

  // Whether the listing holds four rule lines per distinct address of `addresses`, all with
  // that address set's label, and no other line at all. Linear in the listing's size.
  bool containsBlock(const std::vector<std::string>& addresses) const;

  // Makes the names table hold its rules (copies of new web flows for the daemon to read,
  // rejects of the flows it refused), running the tool's load only when its listing says
  // they are not exactly in place. Whether they already were. Throws runner failures.
  bool inspectNames() const;
  // Removes the names table's rules; nothing when there are none. Throws runner failures.
  void stopInspectingNames() const;

  // Drops the filter's connection states towards every address, in one run of the tool.
  void cutConnections(const std::vector<std::string>& addresses) const;

  // The block record kept in the anchor beside the rules (see block_record.h): its text, or
  // absent when the anchor holds none. Rebuilding the rules keeps it. Throw runner failures.
  std::optional<std::string> blockRecord() const;
  // Replaces it with `text` (one line of the record's characters) through "pf-record".
  void setBlockRecord(const std::string& text) const;
  void clearBlockRecord() const;

  std::filesystem::path recordFile() const { return directory / "pf-record"; }
  std::filesystem::path tokenFile() const { return directory / "pf-token"; }
  std::filesystem::path rulesFile() const { return directory / "pf-rules.conf"; }
};

}  // namespace tamrin
