#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tamrin {

// Reports changes of what enforces a block: the hosts file (edited, replaced, deleted, turned
// into or out of a symbolic link, its mode changed) and the nftables ruleset of the table that
// holds the anchor. Reports may come in bursts and include the daemon's own changes.
class ProtectionWatcher {
 public:
  enum class Change {
    hostsFile,     // the hosts file, or the directory entry that names it
    packetFilter,  // the anchor's table (or events were lost, so it may have changed)
    stopped,       // the watcher failed and reports nothing more
  };
  using Changed = std::function<void(Change)>;

  // The layer name under which a watcher's problem shows in the status.
  static constexpr const char* kLayerName = "protectionWatcher";

  virtual ~ProtectionWatcher() = default;
  // Starts reporting; `changed` runs on the watcher's own thread. Called at most once.
  virtual void start(Changed changed) = 0;
  // Why some changes go unreported for now (watches that could not be had, so repairs wait
  // for the minute timer), or nothing. Safe from any thread.
  virtual std::optional<std::string> problem() const { return std::nullopt; }
  // Tries again, soon and on the watcher's thread, to have what it lacks; reports a change
  // once it has. Cheap when nothing is amiss. Safe from any thread.
  virtual void retry() {}
};

// inotify_add_watch(inotify, path, mask): a watch descriptor, or -1 with errno set.
using AddWatch = std::function<int(int inotify, const std::filesystem::path& path, uint32_t mask)>;
int systemAddWatch(int inotify, const std::filesystem::path& path, uint32_t mask);

// The real watcher: inotify on `hostsPath`, on its directory and, when it is a symbolic link,
// on the file it points to and that file's directory; a netlink socket on the nftables
// multicast group. Changes of `otherFiles` (each watched with every directory above it but
// the root) are reported like those of the hosts file. Watches it cannot have (none left, no
// inotify instance) are its problem() until a retry() has them. Throws std::system_error
// when the netlink socket cannot be opened.
std::unique_ptr<ProtectionWatcher> systemProtectionWatcher(
    std::filesystem::path hostsPath, std::vector<std::filesystem::path> otherFiles = {},
    AddWatch addWatch = systemAddWatch);

}  // namespace tamrin
