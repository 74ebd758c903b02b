#pragma once

#include <functional>
#include <string_view>

namespace tamrin {

// Tells the service manager that started the daemon how it is doing, one state line at a time:
// kServing once requests are served, kAlive after every pass of the timer.
using ServiceNotifier = std::function<void(std::string_view state)>;

inline constexpr std::string_view kServing = "READY=1";
inline constexpr std::string_view kAlive = "WATCHDOG=1";

// systemd's notification socket (NOTIFY_SOCKET): a daemon started without one sends nothing.
// Never throws and never blocks for long; a state that cannot be sent is dropped.
ServiceNotifier systemdServiceNotifier();

}  // namespace tamrin
