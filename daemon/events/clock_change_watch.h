#pragma once

#include <filesystem>
#include <functional>

#include "core/ipc_socket.h"
#include "core/poll_thread.h"
#include "daemon/events/inotify_events.h"

namespace tamrin {

// Calls `onChange` on its own thread soon after the wall clock is set (a CLOCK_REALTIME timerfd
// armed with TFD_TIMER_CANCEL_ON_SET) or the zone file is created, replaced, written or removed
// (inotify on its directory, so a replaced symbolic link is seen too). Several changes that
// arrive together make one call. The constructor throws std::system_error when the kernel
// refuses the descriptors; destroying the watch ends its thread (not from inside `onChange`).
class ClockChangeWatch {
 public:
  explicit ClockChangeWatch(std::function<void()> onChange,
                            std::filesystem::path zoneFile = "/etc/localtime");
  ~ClockChangeWatch();
  ClockChangeWatch(const ClockChangeWatch&) = delete;
  ClockChangeWatch& operator=(const ClockChangeWatch&) = delete;

 private:
  // Re-arms the timerfd so that the next setting of the clock cancels it again.
  void armClockTimer();
  // The timerfd is readable: a setting of the clock cancelled it (or it failed).
  void readClockTimer();
  // Calls onChange_ once for everything this round's handlers saw.
  void reportChange();

  const std::function<void()> onChange_;
  InotifyWatches zoneWatches_;  // the zone file's directory, about the file's name
  UniqueFd clockFd_;
  UniqueFd zoneFd_;
  bool changed_ = false;  // the thread's own
  PollThread thread_;     // last: it ends before the rest goes
};

}  // namespace tamrin
