#include "daemon/events/protection_watcher.h"

#include <poll.h>
#include <sys/inotify.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "core/ipc_socket.h"
#include "core/poll_thread.h"
#include "daemon/events/inotify_events.h"
#include "daemon/events/nftables_events.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

// What happens to the file itself, and what happens to names in a directory.
constexpr uint32_t kFileEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr uint32_t kDirectoryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_ONLYDIR;

// What the watcher's thread works on; shared with it, so that it can outlive the watcher
// object when that is destroyed from inside the callback.
struct Watch {
  fs::path hostsPath;
  std::vector<fs::path> otherFiles;  // watched like the hosts file, with every directory above
  AddWatch addWatch;
  UniqueFd inotify;  // none while no instance could be had
  NftablesEventSocket netlink;
  // What the watches are about; the thread's own once it runs.
  InotifyWatches watches;
  std::atomic<bool> rearmWanted{false};  // set by retry(): arm again

  mutable std::mutex problemLock;
  std::optional<std::string> problem;  // guarded by problemLock

  std::optional<std::string> currentProblem() const {
    std::lock_guard guard(problemLock);
    return problem;
  }

  // Watches `path` for `mask`; its events concern `name` in it (empty: the path itself).
  // Returns false when it exists but no watch could be had (the watches ran out).
  bool add(InotifyWatches& wanted, const fs::path& path, uint32_t mask, const std::string& name) {
    const int wd = addWatch(inotify.get(), path, mask);
    if (wd < 0) {
      // Missing for now: the directory's events bring it back.
      return errno != ENOSPC && errno != ENOMEM;
    }
    auto& names = wanted[wd];
    if (!name.empty()) names.push_back(name);
    return true;
  }

  // (Re-)arms the watches for the hosts file as it is now: the file (followed through a link),
  // its directory and, for a link, the target's directory; the other files, their directories
  // and every directory above them (so that a directory removed or moved away is seen, and one
  // made again is watched again). Watches of what no longer belongs to it (a former link
  // target) are dropped. Records or clears the problem of watches that could not be had.
  // Returns whether the problem went away.
  bool arm() {
    std::optional<std::string> missing;
    if (!inotify) inotify = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify) {
      missing = std::string("no inotify instance could be had (") + std::strerror(errno) +
                "; fs.inotify.max_user_instances): changes are repaired by the minute timer";
    } else {
      InotifyWatches wanted;
      const auto watch = [&](const fs::path& path, uint32_t mask, const std::string& name) {
        if (!add(wanted, path, mask, name) && !missing) {
          missing = "the inotify watches ran out (fs.inotify.max_user_watches): changes of " +
                    path.string() + " are repaired by the minute timer";
        }
      };
      watch(hostsPath, kFileEvents, "");
      watch(hostsPath.parent_path(), kDirectoryEvents, hostsPath.filename());
      for (const fs::path& other : otherFiles) {
        watch(other, kFileEvents, "");
        for (fs::path child = other; child.has_relative_path() && child != child.root_path();
             child = child.parent_path()) {
          const fs::path directory = child.parent_path();
          if (directory == directory.root_path()) break;  // not the whole root directory
          watch(directory, kDirectoryEvents, child.filename());
        }
      }
      // Each link on the way to the file, also a dangling one: the target's directory, so
      // that a target deleted and made again is seen.
      fs::path link = hostsPath;
      std::error_code error;
      for (int depth = 0; depth < 8 && fs::is_symlink(fs::symlink_status(link, error)); ++depth) {
        fs::path target = fs::read_symlink(link, error);
        if (error) break;
        if (target.is_relative()) target = link.parent_path() / target;
        watch(target.parent_path(), kDirectoryEvents, target.filename());
        link = target;
      }
      for (const auto& [wd, names] : watches) {
        if (!wanted.contains(wd)) ::inotify_rm_watch(inotify.get(), wd);
      }
      watches = std::move(wanted);
    }
    std::lock_guard guard(problemLock);
    const bool cleared = problem && !missing;
    problem = std::move(missing);
    return cleared;
  }

  // Reads the pending inotify events; true when one concerns a watched file.
  bool drainInotify() {
    const InotifyVerdict verdict = drainInotifyEvents(inotify.get(), watches);
    for (const int wd : verdict.dropped) watches.erase(wd);
    return verdict.relevant;
  }
};

class SystemProtectionWatcher final : public ProtectionWatcher {
 public:
  SystemProtectionWatcher(fs::path hostsPath, std::vector<fs::path> otherFiles, AddWatch addWatch)
      : watch_(std::make_shared<Watch>()) {
    watch_->hostsPath = std::move(hostsPath);
    watch_->otherFiles = std::move(otherFiles);
    watch_->addWatch = std::move(addWatch);
    watch_->arm();  // what cannot be watched yet is a problem, retried later
  }

  std::optional<std::string> problem() const override { return watch_->currentProblem(); }

  void retry() override {
    if (!watch_->currentProblem()) return;
    watch_->rearmWanted = true;
    thread_.wake();
  }

  void start(Changed changed) override {
    if (watch_->inotify) watchFiles(watch_, thread_, changed);
    watchRuleset(watch_, thread_, changed);
    thread_.start({
        .beforeWait = [watch = watch_, thread = &thread_, changed]() -> PollThread::Wait {
          if (watch->rearmWanted.exchange(false)) rearm(watch, *thread, changed);
          return std::nullopt;
        },
        .failed = [changed](int) { changed(Change::stopped); },
    });
  }

 private:
  // The callbacks below hold the thread by reference. That is safe: a destructor on another
  // thread waits for a running callback, and one on the thread itself lets no later one start.

  // The inotify instance: a change of a watched file is reported after the watches follow it.
  static void watchFiles(const std::shared_ptr<Watch>& watch, PollThread& thread,
                         const Changed& changed) {
    thread.watch(watch->inotify.get(), POLLIN, [watch, changed](short) {
      const bool relevant = watch->drainInotify();
      watch->arm();  // a replaced or re-created file needs a new watch
      if (relevant) changed(Change::hostsFile);
    });
  }

  // The nftables announcements: a change of the anchor's table is reported.
  static void watchRuleset(const std::shared_ptr<Watch>& watch, PollThread& thread,
                           const Changed& changed) {
    thread.watch(watch->netlink.fd(), POLLIN, [watch, &thread, changed](short) {
      const std::optional<bool> relevant = watch->netlink.drain();
      if (!relevant) {  // the socket failed: that is reported, and nothing more
        thread.stop();
        changed(Change::stopped);
      } else if (*relevant) {
        changed(Change::packetFilter);
      }
    });
  }

  // Asked by retry(): tries again to have every watch, the inotify instance among them.
  static void rearm(const std::shared_ptr<Watch>& watch, PollThread& thread,
                    const Changed& changed) {
    const bool hadInotify = static_cast<bool>(watch->inotify);
    const bool cleared = watch->arm();
    if (!hadInotify && watch->inotify) watchFiles(watch, thread, changed);
    // Watches had again: what changed meanwhile was not seen, so look now.
    if (cleared) changed(Change::hostsFile);
  }

  std::shared_ptr<Watch> watch_;
  PollThread thread_;
};

}  // namespace

int systemAddWatch(int inotify, const fs::path& path, uint32_t mask) {
  return ::inotify_add_watch(inotify, path.c_str(), mask);
}

std::unique_ptr<ProtectionWatcher> systemProtectionWatcher(fs::path hostsPath,
                                                           std::vector<fs::path> otherFiles,
                                                           AddWatch addWatch) {
  return std::make_unique<SystemProtectionWatcher>(std::move(hostsPath), std::move(otherFiles),
                                                   std::move(addWatch));
}

}  // namespace tamrin
