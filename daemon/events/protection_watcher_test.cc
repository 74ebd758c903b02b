#include "daemon/events/protection_watcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <thread>

#include "core/file_io.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Watches that cannot be had are a problem until a retry has them; then the watcher looks.
TEST(SystemProtectionWatcher, RunningOutOfWatchesIsAProblemUntilARetryHasThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "joining the nftables multicast group needs root";
  ScratchDirectory scratch("watcher");
  const fs::path hosts = scratch.path() / "hosts";
  const fs::path suffixes = scratch.path() / "run/suffixes";
  writeFileAtomically(hosts, "127.0.0.1 localhost\n", 0644);
  std::atomic<bool> exhausted{true};
  auto watcher = systemProtectionWatcher(hosts, {suffixes},
                                         [&](int inotify, const fs::path& path, uint32_t mask) {
                                           if (exhausted && path.filename() == "run") {
                                             errno = ENOSPC;
                                             return -1;
                                           }
                                           return systemAddWatch(inotify, path, mask);
                                         });
  std::atomic<int> reports{0};
  watcher->start([&](ProtectionWatcher::Change change) {
    if (change == ProtectionWatcher::Change::hostsFile) ++reports;
  });
  ASSERT_TRUE(watcher->problem());
  EXPECT_NE(watcher->problem()->find("max_user_watches"), std::string::npos);
  EXPECT_NE(watcher->problem()->find((scratch.path() / "run").string()), std::string::npos);
  watcher->retry();
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(watcher->problem()) << "still none to be had";
  EXPECT_EQ(reports, 0);

  exhausted = false;
  watcher->retry();
  for (int i = 0; i < 500 && reports == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(reports, 1) << "having the watches again brings one look";
  EXPECT_FALSE(watcher->problem());
  fs::create_directory(suffixes.parent_path());
  std::this_thread::sleep_for(100ms);
  reports = 0;
  writeFileAtomically(suffixes, "example.com\n", 0644);
  for (int i = 0; i < 500 && reports == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_GT(reports, 0) << "the directory made later is watched";
}

// The real watcher on a hosts file in a scratch directory (the netlink side needs root).
TEST(SystemProtectionWatcher, ReportsEveryKindOfChangeOfTheHostsFileAndNothingElse) {
  if (::geteuid() != 0) GTEST_SKIP() << "joining the nftables multicast group needs root";
  ScratchDirectory scratch("watcher");
  const fs::path hosts = scratch.path() / "hosts";
  const fs::path elsewhere = scratch.path() / "real";
  fs::create_directory(elsewhere);
  const fs::path nsswitch = scratch.path() / "nsswitch.conf";
  writeFileAtomically(hosts, "127.0.0.1 localhost\n", 0644);
  writeFileAtomically(nsswitch, "hosts: tamrin files dns\n", 0644);
  const fs::path policy = scratch.path() / "policies/managed/t.json";
  const fs::path moved = scratch.path() / "moved";
  std::atomic<int> reports{0};
  auto watcher = systemProtectionWatcher(hosts, {nsswitch, policy});
  watcher->start([&](ProtectionWatcher::Change change) {
    if (change == ProtectionWatcher::Change::hostsFile) ++reports;
  });
  const auto reported = [&](auto&& act) {
    std::this_thread::sleep_for(20ms);
    reports = 0;
    act();
    for (int i = 0; i < 100 && reports == 0; ++i) std::this_thread::sleep_for(5ms);
    return reports > 0;
  };
  struct Case {
    const char* name;
    std::function<void()> act;
    bool expected;
  } const cases[] = {
      {"edited in place", [&] { fs::resize_file(hosts, 3); }, true},
      {"replaced by rename", [&] { writeFileAtomically(hosts, "a\n", 0644); }, true},
      {"edited in place after the replace", [&] { fs::resize_file(hosts, 1); }, true},
      {"mode changed", [&] { ::chmod(hosts.c_str(), 0600); }, true},
      {"another file of the directory",
       [&] { writeFileAtomically(scratch.path() / "x", "", 0644); }, false},
      {"deleted", [&] { fs::remove(hosts); }, true},
      {"created as a link",
       [&] {
         writeFileAtomically(elsewhere / "hosts", "b\n", 0644);
         fs::create_symlink(elsewhere / "hosts", hosts);
       },
       true},
      {"the link's target edited", [&] { fs::resize_file(elsewhere / "hosts", 0); }, true},
      {"the link's target replaced", [&] { writeFileAtomically(elsewhere / "hosts", "c\n", 0644); },
       true},
      {"the link's target deleted", [&] { fs::remove(elsewhere / "hosts"); }, true},
      {"the link's target made again", [&] { std::ofstream(elsewhere / "hosts") << "e\n"; }, true},
      {"a watched file's missing directories made, with the file",
       [&] {
         fs::create_directories(policy.parent_path());
         std::ofstream(policy) << "{}";
       },
       true},
      {"that file emptied", [&] { fs::resize_file(policy, 0); }, true},
      {"its directories moved away", [&] { fs::rename(scratch.path() / "policies", moved); }, true},
      {"a file in the moved directories", [&] { fs::resize_file(moved / "managed/t.json", 1); },
       false},
      {"its directories removed",
       [&] {
         fs::create_directories(policy.parent_path());
         std::ofstream(policy) << "{}";
         std::this_thread::sleep_for(50ms);
         fs::remove_all(scratch.path() / "policies");
       },
       true},
      {"the link turned into a file",
       [&] {
         fs::remove(hosts);
         writeFileAtomically(hosts, "d\n", 0644);
       },
       true},
      {"the old target edited", [&] { fs::resize_file(elsewhere / "hosts", 0); }, false},
      {"another watched file replaced",
       [&] { writeFileAtomically(nsswitch, "hosts: files dns\n", 0644); }, true},
      {"another watched file edited in place", [&] { fs::resize_file(nsswitch, 5); }, true},
  };
  for (const Case& c : cases) EXPECT_EQ(reported(c.act), c.expected) << c.name;
}

}  // namespace
}  // namespace tamrin
