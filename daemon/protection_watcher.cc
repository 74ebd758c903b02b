#include "daemon/protection_watcher.h"

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
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "daemon/protection_events.h"

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
  std::vector<fs::path> otherFiles;  // watched like the hosts file, but never through a link
  int inotify = -1;
  int stop = -1;
  mnl_socket* netlink = nullptr;
  // Watch descriptor to the names it is about; empty for a watch on the file itself.
  std::map<int, std::vector<std::string>> watches;

  ~Watch() {
    if (inotify >= 0) ::close(inotify);
    if (stop >= 0) ::close(stop);
    if (netlink != nullptr) mnl_socket_close(netlink);
  }

  // Watches `path` for `mask`; its events concern `name` in it (empty: the path itself).
  void add(std::map<int, std::vector<std::string>>& wanted, const fs::path& path, uint32_t mask,
           const std::string& name) {
    const int wd = ::inotify_add_watch(inotify, path.c_str(), mask);
    if (wd < 0) return;  // missing for now: the directory's events bring it back
    auto& names = wanted[wd];
    if (!name.empty()) names.push_back(name);
  }

  // (Re-)arms the watches for the hosts file as it is now: the file (followed through a link),
  // its directory and, for a link, the target's directory. Watches of what no longer belongs
  // to it (a former link target) are dropped.
  void arm() {
    std::map<int, std::vector<std::string>> wanted;
    add(wanted, hostsPath, kFileEvents, "");
    add(wanted, hostsPath.parent_path(), kDirectoryEvents, hostsPath.filename());
    for (const fs::path& other : otherFiles) {
      add(wanted, other, kFileEvents, "");
      add(wanted, other.parent_path(), kDirectoryEvents, other.filename());
    }
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(hostsPath, error))) {
      const fs::path target = fs::weakly_canonical(hostsPath, error);
      if (!error) add(wanted, target.parent_path(), kDirectoryEvents, target.filename());
    }
    for (const auto& [wd, names] : watches) {
      if (!wanted.contains(wd)) ::inotify_rm_watch(inotify, wd);
    }
    watches = std::move(wanted);
  }

  // Reads the pending inotify events; true when one concerns the hosts file.
  bool drainInotify() {
    alignas(inotify_event) std::array<char, 16384> buffer;
    bool relevant = false;
    for (;;) {
      const ssize_t length = ::read(inotify, buffer.data(), buffer.size());
      if (length <= 0) break;
      for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) relevant = true;
        const auto found = watches.find(event->wd);
        if (found == watches.end()) continue;
        if (event->mask & IN_IGNORED) {
          watches.erase(found);
          relevant = true;  // the watched file or directory is gone
          continue;
        }
        if (found->second.empty()) {
          relevant = true;
        } else if (event->len > 0) {
          const std::string name(event->name);
          for (const std::string& watched : found->second) relevant |= watched == name;
        }
      }
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

class SystemProtectionWatcher final : public ProtectionWatcher {
 public:
  SystemProtectionWatcher(fs::path hostsPath, std::vector<fs::path> otherFiles)
      : watch_(std::make_shared<Watch>()) {
    watch_->hostsPath = std::move(hostsPath);
    watch_->otherFiles = std::move(otherFiles);
    watch_->inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_->inotify < 0) fail("cannot watch the hosts file");
    watch_->stop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (watch_->stop < 0) fail("cannot create an event descriptor");
    watch_->netlink = mnl_socket_open2(NETLINK_NETFILTER, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (watch_->netlink == nullptr) fail("cannot open the nftables netlink socket");
    if (mnl_socket_bind(watch_->netlink, 1u << (NFNLGRP_NFTABLES - 1), MNL_SOCKET_AUTOPID) < 0) {
      fail("cannot join the nftables multicast group");
    }
    watch_->arm();
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

  void start(Changed changed) override {
    thread_ = std::thread([watch = watch_, changed = std::move(changed)] {
      std::array<pollfd, 3> fds = {{{watch->stop, POLLIN, 0},
                                    {watch->inotify, POLLIN, 0},
                                    {mnl_socket_get_fd(watch->netlink), POLLIN, 0}}};
      for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) return;
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

std::unique_ptr<ProtectionWatcher> systemProtectionWatcher(fs::path hostsPath,
                                                           std::vector<fs::path> otherFiles) {
  return std::make_unique<SystemProtectionWatcher>(std::move(hostsPath), std::move(otherFiles));
}

}  // namespace tamrin
