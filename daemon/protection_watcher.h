#pragma once

#include <filesystem>
#include <functional>
#include <memory>

namespace tamrin {

// Reports changes of what enforces a block: the hosts file (edited, replaced, deleted, turned
// into or out of a symbolic link, its mode changed) and the nftables ruleset of the table that
// holds the anchor. Reports may come in bursts and include the daemon's own changes.
class ProtectionWatcher {
 public:
  using Changed = std::function<void()>;

  virtual ~ProtectionWatcher() = default;
  // Starts reporting; `changed` runs on the watcher's own thread. Called at most once.
  virtual void start(Changed changed) = 0;
};

// The real watcher: inotify on `hostsPath`, on its directory and, when it is a symbolic link,
// on the file it points to and that file's directory; a netlink socket on the nftables
// multicast group. Throws std::system_error when either cannot be opened.
std::unique_ptr<ProtectionWatcher> systemProtectionWatcher(std::filesystem::path hostsPath);

// A watcher that reports when the test says so.
class FakeProtectionWatcher final : public ProtectionWatcher {
 public:
  void start(Changed changed) override { changed_ = std::move(changed); }
  // Reports one change, on the caller's thread; nothing before start().
  void report() const {
    if (changed_) changed_();
  }

 private:
  Changed changed_;
};

}  // namespace tamrin
