#pragma once

#include <filesystem>
#include <functional>
#include <thread>

#include "core/ipc_socket.h"

namespace tamrin {

// Calls `onChange` on its own thread soon after the wall clock is set (a CLOCK_REALTIME timerfd
// armed with TFD_TIMER_CANCEL_ON_SET) or the zone file is created, replaced, written or removed
// (inotify on its directory, so a replaced symbolic link is seen too). Several changes that
// arrive together make one call. The constructor throws std::system_error when the kernel
// refuses the descriptors; destroying the watch ends its thread.
class ClockChangeWatch {
 public:
  explicit ClockChangeWatch(std::function<void()> onChange,
                            std::filesystem::path zoneFile = "/etc/localtime");
  ~ClockChangeWatch();
  ClockChangeWatch(const ClockChangeWatch&) = delete;
  ClockChangeWatch& operator=(const ClockChangeWatch&) = delete;

 private:
  void run();
  // Re-arms the timerfd so that the next setting of the clock cancels it again.
  void armClockTimer();
  // Reads every queued event; true when one of them concerns the zone file.
  bool drainZoneEvents();

  const std::function<void()> onChange_;
  const std::string zoneName_;
  UniqueFd clockFd_;
  UniqueFd zoneFd_;
  UniqueFd stopFd_;
  std::thread thread_;
};

}  // namespace tamrin
