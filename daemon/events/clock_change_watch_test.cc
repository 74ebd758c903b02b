#include "daemon/events/clock_change_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "core/file_io.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool waitFor(const std::atomic<int>& calls, int atLeast) {
  for (int i = 0; i < 200 && calls.load() < atLeast; ++i) std::this_thread::sleep_for(10ms);
  return calls.load() >= atLeast;
}

// The zone file is replaced the way zone tools do it: a new link renamed over the old one.
TEST(ClockChangeWatchTest, ReplacingTheZoneFileCallsBackAndOtherFilesDoNot) {
  ScratchDirectory directory("clock-watch");
  const fs::path zone = directory.path() / "localtime";
  fs::create_symlink("/usr/share/zoneinfo/Europe/Berlin", zone);
  std::atomic<int> calls = 0;
  {
    ClockChangeWatch watch([&] { ++calls; }, zone);
    writeFileAtomically(directory.path() / "hosts", "127.0.0.1 localhost\n", 0644);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls.load(), 0);

    fs::create_symlink("/usr/share/zoneinfo/Pacific/Kiritimati", directory.path() / "new");
    fs::rename(directory.path() / "new", zone);
    EXPECT_TRUE(waitFor(calls, 1));
    const int afterReplace = calls.load();
    fs::remove(zone);
    EXPECT_TRUE(waitFor(calls, afterReplace + 1));
  }
  const int afterStop = calls.load();
  fs::create_symlink("/usr/share/zoneinfo/UTC", zone);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls.load(), afterStop);  // no call once the watch is gone
}

TEST(ClockChangeWatchTest, AMissingDirectoryIsRefused) {
  EXPECT_THROW(ClockChangeWatch([] {}, "/nonexistent-tamrin-dir/localtime"), std::system_error);
}

}  // namespace
}  // namespace tamrin
