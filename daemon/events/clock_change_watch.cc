#include "daemon/events/clock_change_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

#include "core/system_error.h"

namespace tamrin {

ClockChangeWatch::ClockChangeWatch(std::function<void()> onChange, std::filesystem::path zoneFile)
    : onChange_(std::move(onChange)) {
  clockFd_ = UniqueFd(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!clockFd_) throwErrno("timerfd_create");
  armClockTimer();
  zoneFd_ = UniqueFd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!zoneFd_) throwErrno("inotify_init1");
  const std::filesystem::path directory = zoneFile.parent_path();
  const int wd = ::inotify_add_watch(zoneFd_.get(), directory.c_str(),
                                     IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                         IN_CLOSE_WRITE | IN_ATTRIB | IN_DONT_FOLLOW);
  if (wd < 0) throwErrno("inotify_add_watch");
  zoneWatches_[wd] = {zoneFile.filename().string()};
  thread_.watch(clockFd_.get(), POLLIN, [this](short) { readClockTimer(); });
  thread_.watch(zoneFd_.get(), POLLIN, [this](short) {
    changed_ |= drainInotifyEvents(zoneFd_.get(), zoneWatches_).relevant;
  });
  // Both descriptors' handlers run before it in a round: changes that arrive together make one
  // call.
  thread_.start({.beforeWait = [this]() -> PollThread::Wait {
    reportChange();
    return std::nullopt;
  }});
}

ClockChangeWatch::~ClockChangeWatch() = default;

void ClockChangeWatch::armClockTimer() {
  // A deadline that never comes: only a setting of the clock ends the wait.
  itimerspec never{};
  never.it_value.tv_sec = std::numeric_limits<time_t>::max();
  if (::timerfd_settime(clockFd_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never,
                        nullptr) != 0) {
    throwErrno("timerfd_settime");
  }
}

void ClockChangeWatch::readClockTimer() {
  std::uint64_t expirations = 0;
  if (::read(clockFd_.get(), &expirations, sizeof expirations) < 0 && errno == ECANCELED) {
    changed_ = true;
  }
  try {
    armClockTimer();
  } catch (const std::system_error&) {
    thread_.unwatch(clockFd_.get());  // the zone file is still watched
  }
}

void ClockChangeWatch::reportChange() {
  if (!changed_) return;
  changed_ = false;
  try {
    onChange_();
  } catch (...) {
    // The next setting of the clock, or the reconciliation timer, tries again.
  }
}

}  // namespace tamrin
