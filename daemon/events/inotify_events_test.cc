#include "daemon/events/inotify_events.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/ipc_socket.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

// Appends one inotify event.
void putEvent(std::vector<char>& buffer, int wd, uint32_t mask, std::string name) {
  name.resize(name.empty() ? 0 : (name.size() / 16 + 1) * 16, '\0');  // padded like the kernel's
  inotify_event event{.wd = wd, .mask = mask, .cookie = 0, .len = uint32_t(name.size())};
  const auto* bytes = reinterpret_cast<const char*>(&event);
  buffer.insert(buffer.end(), bytes, bytes + sizeof event);
  buffer.insert(buffer.end(), name.begin(), name.end());
}

TEST(InterpretInotifyEvents, WatchedNamesLostEventsAndDroppedWatchesCount) {
  const InotifyWatches watches = {{1, {}}, {2, {"hosts", "suffixes"}}};
  struct Event {
    int wd;
    uint32_t mask;
    std::string name;
  };
  struct Case {
    const char* name;
    std::vector<Event> events;
    bool relevant;
    std::vector<int> dropped;
  } const cases[] = {
      {"the queue overflowed", {{-1, IN_Q_OVERFLOW, ""}}, true, {}},
      {"the file itself", {{1, IN_MODIFY, ""}}, true, {}},
      {"a watched name", {{2, IN_CLOSE_WRITE, "suffixes"}}, true, {}},
      {"another name", {{2, IN_CREATE, "hosts.tmp"}, {2, IN_DELETE, "host"}}, false, {}},
      {"the directory itself", {{2, IN_ATTRIB, ""}}, false, {}},
      {"an unknown watch", {{7, IN_MODIFY, ""}}, false, {}},
      {"a watch dropped", {{2, IN_IGNORED, ""}, {1, IN_IGNORED, ""}}, true, {2, 1}},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer;
    for (const Event& e : c.events) putEvent(buffer, e.wd, e.mask, e.name);
    const InotifyVerdict verdict = interpretInotifyEvents(buffer.data(), buffer.size(), watches);
    EXPECT_EQ(verdict.relevant, c.relevant) << c.name;
    EXPECT_EQ(verdict.dropped, c.dropped) << c.name;
  }
}

// More events than one read takes: the drain reads them all, and then the queue is empty.
TEST(DrainInotifyEvents, ReadsTheWholeQueueAndJudgesItWhole) {
  ScratchDirectory scratch("inotify-drain");
  const UniqueFd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_TRUE(inotify);
  const int wd = ::inotify_add_watch(inotify.get(), scratch.path().c_str(), IN_CREATE | IN_DELETE);
  ASSERT_GE(wd, 0);
  const InotifyWatches watches = {{wd, {"watched"}}};
  for (int i = 0; i < 600; ++i) {  // about 40 kB of events, a long name each
    const fs::path noise = scratch.path() / ("noise-with-a-longer-name-" + std::to_string(i));
    std::ofstream{noise};
  }
  EXPECT_FALSE(drainInotifyEvents(inotify.get(), watches).relevant) << "noise only";
  for (int i = 0; i < 600; ++i) {
    fs::remove(scratch.path() / ("noise-with-a-longer-name-" + std::to_string(i)));
  }
  std::ofstream{scratch.path() / "watched"};  // last in the queue
  EXPECT_TRUE(drainInotifyEvents(inotify.get(), watches).relevant);
  char byte;
  EXPECT_LT(::read(inotify.get(), &byte, sizeof byte), 0) << "nothing left";
  EXPECT_FALSE(drainInotifyEvents(inotify.get(), watches).relevant) << "empty queue";
}

}  // namespace
}  // namespace tamrin
