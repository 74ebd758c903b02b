#include "daemon/events/clock_change_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

#include "core/system_error.h"

namespace tamrin {

ClockChangeWatch::ClockChangeWatch(std::function<void()> onChange, std::filesystem::path zoneFile)
    : onChange_(std::move(onChange)), zoneName_(zoneFile.filename().string()) {
  clockFd_ = UniqueFd(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!clockFd_) throwErrno("timerfd_create");
  armClockTimer();
  zoneFd_ = UniqueFd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!zoneFd_) throwErrno("inotify_init1");
  const std::filesystem::path directory = zoneFile.parent_path();
  if (::inotify_add_watch(zoneFd_.get(), directory.c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE |
                              IN_ATTRIB | IN_DONT_FOLLOW) < 0) {
    throwErrno("inotify_add_watch");
  }
  stopFd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stopFd_) throwErrno("eventfd");
  thread_ = std::thread([this] { run(); });
}

ClockChangeWatch::~ClockChangeWatch() {
  ::eventfd_write(stopFd_.get(), 1);
  thread_.join();
}

void ClockChangeWatch::armClockTimer() {
  // A deadline that never comes: only a setting of the clock ends the wait.
  itimerspec never{};
  never.it_value.tv_sec = std::numeric_limits<time_t>::max();
  if (::timerfd_settime(clockFd_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never,
                        nullptr) != 0) {
    throwErrno("timerfd_settime");
  }
}

bool ClockChangeWatch::drainZoneEvents() {
  alignas(inotify_event) std::array<char, 4096> buffer;
  bool relevant = false;
  for (;;) {
    const ssize_t size = ::read(zoneFd_.get(), buffer.data(), buffer.size());
    if (size <= 0) return relevant;
    for (ssize_t offset = 0; offset < size;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
      if (event->len > 0 && zoneName_ == event->name) relevant = true;
      if (event->mask & IN_Q_OVERFLOW) relevant = true;
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

void ClockChangeWatch::run() {
  std::array<pollfd, 3> polled{
      {{clockFd_.get(), POLLIN, 0}, {zoneFd_.get(), POLLIN, 0}, {stopFd_.get(), POLLIN, 0}}};
  for (;;) {
    if (::poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (polled[2].revents != 0) return;
    bool changed = false;
    if (polled[0].revents != 0) {
      std::uint64_t expirations = 0;
      if (::read(clockFd_.get(), &expirations, sizeof expirations) < 0 && errno == ECANCELED) {
        changed = true;
      }
      try {
        armClockTimer();
      } catch (const std::system_error&) {
        polled[0].fd = -1;  // the zone file is still watched
      }
    }
    if (polled[1].revents != 0 && drainZoneEvents()) changed = true;
    if (!changed) continue;
    try {
      onChange_();
    } catch (...) {
      // The next setting of the clock, or the reconciliation timer, tries again.
    }
  }
}

}  // namespace tamrin
