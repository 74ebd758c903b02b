#include "daemon/events/protection_watcher.h"

#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "daemon/events/protection_events.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

// What happens to the file itself, and what happens to names in a directory.
constexpr uint32_t kFileEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr uint32_t kDirectoryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_ONLYDIR;

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Owns the descriptors; shared with the thread so that it can outlive the watcher object when
// that is destroyed from inside the callback.
struct Watch {
  fs::path hostsPath;
  std::vector<fs::path> otherFiles;  // watched like the hosts file, with every directory above
  AddWatch addWatch;
  int inotify = -1;
  int stop = -1;
  int rearm = -1;  // written by retry(): arm again
  mnl_socket* netlink = nullptr;
  // Watch descriptor to the names it is about; empty for a watch on the file itself.
  std::map<int, std::vector<std::string>> watches;

  mutable std::mutex problemLock;
  std::optional<std::string> problem;  // guarded by problemLock

  ~Watch() {
    if (inotify >= 0) ::close(inotify);
    if (stop >= 0) ::close(stop);
    if (rearm >= 0) ::close(rearm);
    if (netlink != nullptr) mnl_socket_close(netlink);
  }

  std::optional<std::string> currentProblem() const {
    std::lock_guard guard(problemLock);
    return problem;
  }

  // Watches `path` for `mask`; its events concern `name` in it (empty: the path itself).
  // Returns false when it exists but no watch could be had (the watches ran out).
  bool add(std::map<int, std::vector<std::string>>& wanted, const fs::path& path, uint32_t mask,
           const std::string& name) {
    const int wd = addWatch(inotify, path, mask);
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
    if (inotify < 0) inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify < 0) {
      missing = std::string("no inotify instance could be had (") + std::strerror(errno) +
                "; fs.inotify.max_user_instances): changes are repaired by the minute timer";
    } else {
      std::map<int, std::vector<std::string>> wanted;
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
        if (!wanted.contains(wd)) ::inotify_rm_watch(inotify, wd);
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
    alignas(inotify_event) std::array<char, 16384> buffer;
    bool relevant = false;
    for (;;) {
      const ssize_t length = ::read(inotify, buffer.data(), buffer.size());
      if (length <= 0) break;
      const InotifyVerdict verdict =
          interpretInotifyEvents(buffer.data(), static_cast<std::size_t>(length), watches);
      for (const int wd : verdict.dropped) watches.erase(wd);
      relevant |= verdict.relevant;
    }
    return relevant;
  }

  // Reads the pending nftables events: whether one concerns the anchor's table; nullopt when
  // the socket failed for good.
  std::optional<bool> drainNetlink() {
    std::array<char, 65536> buffer;
    bool relevant = false;
    for (;;) {
      const ssize_t length = mnl_socket_recvfrom(netlink, buffer.data(), buffer.size());
      if (length >= 0) {
        relevant |= concernsAnchorTable(buffer.data(), static_cast<std::size_t>(length));
      } else if (errno == ENOBUFS) {
        relevant = true;  // events were lost: assume the worst
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return relevant;
      } else if (errno != EINTR) {
        return std::nullopt;
      }
    }
  }
};

void drainEventDescriptor(int fd) {
  uint64_t count;
  [[maybe_unused]] const ssize_t read = ::read(fd, &count, sizeof count);
}

class SystemProtectionWatcher final : public ProtectionWatcher {
 public:
  SystemProtectionWatcher(fs::path hostsPath, std::vector<fs::path> otherFiles, AddWatch addWatch)
      : watch_(std::make_shared<Watch>()) {
    watch_->hostsPath = std::move(hostsPath);
    watch_->otherFiles = std::move(otherFiles);
    watch_->addWatch = std::move(addWatch);
    watch_->stop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (watch_->stop < 0) fail("cannot create an event descriptor");
    watch_->rearm = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (watch_->rearm < 0) fail("cannot create an event descriptor");
    watch_->netlink = mnl_socket_open2(NETLINK_NETFILTER, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (watch_->netlink == nullptr) fail("cannot open the nftables netlink socket");
    if (mnl_socket_bind(watch_->netlink, 1u << (NFNLGRP_NFTABLES - 1), MNL_SOCKET_AUTOPID) < 0) {
      fail("cannot join the nftables multicast group");
    }
    watch_->arm();  // what cannot be watched yet is a problem, retried later
  }

  ~SystemProtectionWatcher() override {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(watch_->stop, &one, sizeof one);
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // destroyed from our own callback: the loop ends when it returns
    } else {
      thread_.join();
    }
  }

  std::optional<std::string> problem() const override { return watch_->currentProblem(); }

  void retry() override {
    if (!watch_->currentProblem()) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(watch_->rearm, &one, sizeof one);
  }

  void start(Changed changed) override {
    thread_ = std::thread([watch = watch_, changed = std::move(changed)] {
      for (;;) {
        std::array<pollfd, 4> fds = {{{watch->stop, POLLIN, 0},
                                      {watch->inotify, POLLIN, 0},
                                      {mnl_socket_get_fd(watch->netlink), POLLIN, 0},
                                      {watch->rearm, POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) return;
        if (fds[3].revents != 0) {
          drainEventDescriptor(watch->rearm);
          // Watches had again: what changed meanwhile was not seen, so look now.
          if (watch->arm()) changed(Change::hostsFile);
        }
        if (fds[1].revents != 0) {
          const bool relevant = watch->drainInotify();
          watch->arm();  // a replaced or re-created file needs a new watch
          if (relevant) changed(Change::hostsFile);
        }
        if (fds[2].revents != 0) {
          const auto relevant = watch->drainNetlink();
          if (!relevant) break;  // the socket failed
          if (*relevant) changed(Change::packetFilter);
        }
      }
      changed(Change::stopped);
    });
  }

 private:
  std::shared_ptr<Watch> watch_;
  std::thread thread_;
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
