#include "daemon/events/inotify_events.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string_view>

namespace tamrin {

InotifyVerdict interpretInotifyEvents(const void* events, std::size_t length,
                                      const InotifyWatches& watches) {
  InotifyVerdict verdict;
  const auto* bytes = static_cast<const char*>(events);
  for (std::size_t offset = 0; offset + sizeof(inotify_event) <= length;) {
    inotify_event event;
    std::memcpy(&event, bytes + offset, sizeof event);
    const char* name = bytes + offset + sizeof event;
    offset += sizeof event + event.len;
    if (offset > length) break;
    if (event.mask & IN_Q_OVERFLOW) verdict.relevant = true;  // events were lost
    const auto found = watches.find(event.wd);
    if (found == watches.end()) continue;
    if (event.mask & IN_IGNORED) {
      verdict.dropped.push_back(event.wd);
      verdict.relevant = true;  // the watched file or directory is gone
    } else if (found->second.empty()) {
      verdict.relevant = true;
    } else if (event.len > 0) {
      const std::string_view changed(name, strnlen(name, event.len));
      for (const std::string& watched : found->second) verdict.relevant |= watched == changed;
    }
  }
  return verdict;
}

InotifyVerdict drainInotifyEvents(int inotify, const InotifyWatches& watches) {
  // The kernel hands out whole events only, as many as fit.
  alignas(inotify_event) std::array<char, 16384> buffer;
  InotifyVerdict drained;
  for (;;) {
    const ssize_t length = ::read(inotify, buffer.data(), buffer.size());
    if (length <= 0) return drained;
    const InotifyVerdict verdict =
        interpretInotifyEvents(buffer.data(), static_cast<std::size_t>(length), watches);
    drained.relevant |= verdict.relevant;
    drained.dropped.insert(drained.dropped.end(), verdict.dropped.begin(), verdict.dropped.end());
  }
}

}  // namespace tamrin
