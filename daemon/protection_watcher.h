#pragma once

#include <filesystem>
#include <functional>
#include <memory>
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

  virtual ~ProtectionWatcher() = default;
  // Starts reporting; `changed` runs on the watcher's own thread. Called at most once.
  virtual void start(Changed changed) = 0;
};

// The real watcher: inotify on `hostsPath`, on its directory and, when it is a symbolic link,
// on the file it points to and that file's directory; a netlink socket on the nftables
// multicast group. Changes of `otherFiles` (each watched with its directory) are reported like
// those of the hosts file. Throws std::system_error when either cannot be opened.
std::unique_ptr<ProtectionWatcher> systemProtectionWatcher(
    std::filesystem::path hostsPath, std::vector<std::filesystem::path> otherFiles = {});

// A watcher that reports when the test says so.
class FakeProtectionWatcher final : public ProtectionWatcher {
 public:
  void start(Changed changed) override { changed_ = std::move(changed); }
  // Reports one change, on the caller's thread; nothing before start().
  void report(Change change = Change::packetFilter) const {
    if (changed_) changed_(change);
  }

 private:
  Changed changed_;
};

}  // namespace tamrin
