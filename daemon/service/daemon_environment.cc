#include "daemon/service/daemon_environment.h"

#include <chrono>

namespace tamrin {

ServiceClock ServiceClock::system() {
  return {.now = [] { return Instant::fromTimePoint(std::chrono::system_clock::now()); },
          .calendar = [] { return Calendar::current(); },
          .boot = BootClock::system()};
}

}  // namespace tamrin
