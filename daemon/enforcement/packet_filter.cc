#include "daemon/enforcement/packet_filter.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <system_error>
#include <unordered_map>

#include "core/directories.h"
#include "core/file_io.h"
#include "core/packet_filter_rules.h"
#include "core/tamrin_error.h"
#include "core/unicode_text.h"
#include "daemon/enforcement/sealed_executable.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRulePrefix = "block ";
constexpr fs::perms kDirectoryPermissions = fs::perms::owner_all;
constexpr mode_t kFileMode = 0600;

// The non-empty lines of `text`, split at line feeds.
std::vector<std::string_view> nonEmptyLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (!line.empty()) lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// Creates `directory` and its missing parents with permission bits 0700, whatever the umask.
void createPrivateDirectory(const fs::path& directory) {
  for (const fs::path& created : createDirectories(directory, 0700)) {
    fs::permissions(created, kDirectoryPermissions);
  }
}

// Writes `contents` atomically to `file` and sets its permission bits to 0600.
void writePrivateFile(const fs::path& file, std::string_view contents) {
  writeFileAtomically(file, contents, kFileMode);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
}

void removeIgnoringFailure(const fs::path& file) {
  std::error_code ignored;
  fs::remove(file, ignored);
}

// The token in the output of "-E": the rest of its first "Token : " line.
std::string enableToken(std::string_view output) {
  for (std::string_view line : nonEmptyLines(output)) {
    if (!line.starts_with(kPfctlTokenPrefix)) continue;
    line.remove_prefix(kPfctlTokenPrefix.size());
    if (line.empty()) break;
    return std::string(line);
  }
  throw TamrinError::packetFilter("pfctl did not return an enable token");
}

}  // namespace

PacketFilterRunner systemPacketFilterRunner() {
  return [](const std::vector<std::string>& arguments) {
    return runSystemCommand(packetFilterExecutable().string(), arguments);
  };
}

PacketFilterRunner sealedPacketFilterRunner(std::shared_ptr<const SealedExecutable> tool) {
  return [tool = std::move(tool)](const std::vector<std::string>& arguments) {
    return runSystemCommand(*tool, arguments);
  };
}

bool PacketFilter::enable(const std::vector<std::string>& addresses) const {
  const std::string rules = packetFilterRules(addresses);
  createPrivateDirectory(directory);

  const std::string status = runner(pfctlShowInfo());
  const bool wasOff =
      !fs::exists(tokenFile()) || status.find(kPfctlStatusEnabled) == std::string::npos;
  if (wasOff) {
    removeIgnoringFailure(tokenFile());
    const std::string token = enableToken(runner(pfctlEnable()));
    writePrivateFile(tokenFile(), token);
  }

  if (containsBlock(addresses)) {
    // Connections opened while the filter was off must not carry on either.
    if (wasOff) cutConnections(addresses);
    return !wasOff;
  }
  writePrivateFile(rulesFile(), rules);
  runner(pfctlLoadRules(rulesFile().string()));
  cutConnections(addresses);
  return false;
}

void PacketFilter::cutConnections(const std::vector<std::string>& addresses) const {
  // One run of the tool cuts the connections to every address, in the given order.
  runner(pfctlKillStates(addresses));
}

void PacketFilter::addAddresses(const std::vector<std::string>& addresses) const {
  if (addresses.empty()) return;
  runner(pfctlAddAddresses(addresses));
}

bool PacketFilter::inspectNames() const {
  if (runner(pfctlShowNames()).find(kPfctlNamesInspected) != std::string::npos) return true;
  runner(pfctlInspectNames());
  return false;
}

void PacketFilter::stopInspectingNames() const { runner(pfctlStopInspectingNames()); }

void PacketFilter::disable() const {
  if (containsAnyRules()) runner(pfctlFlushRules());

  try {
    const std::string contents = readFile(tokenFile());
    if (isValidUtf8(contents)) {
      const std::string token(trimWhitespaceAndNewlines(contents));
      if (!token.empty()) runner(pfctlRelease(token));
    }
  } catch (...) {
    // An unreadable token or a failed release leaves nothing more to do than the clean-up.
  }
  removeIgnoringFailure(tokenFile());
  removeIgnoringFailure(rulesFile());
}

bool PacketFilter::containsManagedBlock(
    const std::optional<std::vector<std::string>>& addresses) const {
  if (!addresses) return containsAnyRules();
  if (addresses->empty()) return false;
  if (runner(pfctlShowInfo()).find(kPfctlStatusEnabled) == std::string::npos) return false;
  return containsBlock(*addresses);
}

bool PacketFilter::containsAnyRules() const {
  const std::string listing = runner(pfctlListRules());
  return !trimWhitespaceAndNewlines(decodeUtf8Lossy(listing)).empty();
}

bool PacketFilter::containsBlock(const std::vector<std::string>& addresses) const {
  const std::string listing = runner(pfctlListRules());
  const std::set<std::string> distinct(addresses.begin(), addresses.end());
  if (distinct.empty()) return false;

  const std::string labelText =
      "label \"" + packetFilterRuleLabel({distinct.begin(), distinct.end()}) + "\"";
  // One look at each line: every line must be a rule line with the label, and every address
  // must be the target of exactly four of them. Any other line (the tool reports whatever
  // else the table holds) is a mismatch.
  std::unordered_map<std::string_view, int> targets;
  targets.reserve(distinct.size());
  std::size_t ruleLines = 0;
  for (std::string_view line : nonEmptyLines(listing)) {
    if (!line.starts_with(kRulePrefix)) return false;
    if (line.find(labelText) == std::string_view::npos) return false;
    const std::size_t to = line.find(" to ");
    if (to == std::string_view::npos) return false;
    const std::string_view rest = line.substr(to + 4);
    ++targets[rest.substr(0, rest.find(' '))];
    ++ruleLines;
  }
  if (ruleLines != 4 * distinct.size()) return false;
  return std::all_of(distinct.begin(), distinct.end(), [&](const std::string& address) {
    const auto found = targets.find(address);
    return found != targets.end() && found->second == 4;
  });
}

}  // namespace tamrin
