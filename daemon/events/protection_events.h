#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace tamrin {

// Whether a buffer of nftables netlink event messages holds one about the table "inet tamrin"
// (a table, chain, rule, set, element or object of it added, changed or deleted). Messages
// that name no table count as about it; generation announcements do not count.
bool concernsAnchorTable(const void* messages, std::size_t length);

// What a buffer of inotify events means for the watches, given as watch descriptor to the
// names in that directory they are about (none: a watch on the file itself).
struct InotifyVerdict {
  bool relevant = false;     // an event concerns a watched file, or events were lost
  std::vector<int> dropped;  // watches the kernel removed (their file or directory is gone)
};
InotifyVerdict interpretInotifyEvents(const void* events, std::size_t length,
                                      const std::map<int, std::vector<std::string>>& watches);

}  // namespace tamrin
