#include "daemon/service/watchdog.h"

#include <systemd/sd-daemon.h>

#include <string>

namespace tamrin {

ServiceNotifier systemdServiceNotifier() {
  return [](std::string_view state) {
    // Without NOTIFY_SOCKET this returns 0 at once; the environment stays as it is.
    sd_notify(0, std::string(state).c_str());
  };
}

}  // namespace tamrin
