#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace tamrin {

// Watch descriptor to the names in that directory a watch is about (none: a watch on the file
// itself).
using InotifyWatches = std::map<int, std::vector<std::string>>;

// What a buffer of inotify events means for the watches.
struct InotifyVerdict {
  bool relevant = false;     // an event concerns a watched file, or events were lost
  std::vector<int> dropped;  // watches the kernel removed (their file or directory is gone)
};
InotifyVerdict interpretInotifyEvents(const void* events, std::size_t length,
                                      const InotifyWatches& watches);

// Reads every event queued on the non-blocking inotify descriptor `inotify`, until none is
// left, and interprets them all for `watches` (what it could not read counts as nothing).
InotifyVerdict drainInotifyEvents(int inotify, const InotifyWatches& watches);

}  // namespace tamrin
