#include "daemon/service/daemon_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <thread>

#include "core/file_io.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

TEST(DaemonLockTest, OneHolderAtATimeAndTheOthersAreToldItsPid) {
  ScratchDirectory scratch("daemon-lock");
  const auto path = scratch.path() / "run" / "daemon.lock";
  std::optional<DaemonLock> held(DaemonLock::acquire(path));
  EXPECT_EQ(readFile(path), std::to_string(getpid()) + "\n");
  try {
    DaemonLock::acquire(path);
    ADD_FAILURE() << "a second holder was let in";
  } catch (const DaemonAlreadyRunning& error) {
    EXPECT_EQ(error.pid(), getpid());
    EXPECT_NE(std::string(error.what()).find(std::to_string(getpid())), std::string::npos);
  }
  held.reset();
  EXPECT_NO_THROW(DaemonLock::acquire(path));
}

TEST(DaemonLockTest, AHolderThatDiedLeavesTheLockFree) {
  ScratchDirectory scratch("daemon-lock");
  const auto path = scratch.path() / "daemon.lock";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    DaemonLock lock = DaemonLock::acquire(path);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_THROW(DaemonLock::acquire(path), DaemonAlreadyRunning);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_NO_THROW(DaemonLock::acquire(path));  // the pid file it left does not matter
  close(ready[0]);
  close(ready[1]);
}

TEST(DaemonLockTest, AHolderThatWritesItsPidLateIsStillNamed) {
  ScratchDirectory scratch("daemon-lock");
  const auto path = scratch.path() / "daemon.lock";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) _exit(1);
    (void)!write(ready[1], "x", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    const std::string pid = std::to_string(getpid()) + "\n";
    (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    pause();
    _exit(0);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  try {
    DaemonLock::acquire(path);
    ADD_FAILURE() << "a second holder was let in";
  } catch (const DaemonAlreadyRunning& error) {
    EXPECT_EQ(error.pid(), holder);
  }
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
}

TEST(DaemonLockTest, WhatIsNotARegularFileIsReplacedNeverUsed) {
  ScratchDirectory scratch("daemon-lock");
  const auto path = scratch.path() / "daemon.lock";
  const auto elsewhere = scratch.path() / "elsewhere";
  writeFileAtomically(elsewhere, "someone's file\n", 0644);
  struct Case {
    const char* name;
    void (*make)(const std::filesystem::path& path, const std::filesystem::path& elsewhere);
  } const cases[] = {
      {"a FIFO", [](const auto& p, const auto&) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); }},
      {"a directory with a file in it",
       [](const auto& p, const auto&) {
         std::filesystem::create_directories(p / "x");
         writeFileAtomically(p / "x" / "y", "", 0644);
       }},
      {"a link to another file",
       [](const auto& p, const auto& e) { std::filesystem::create_symlink(e, p); }},
      {"a dangling link",
       [](const auto& p, const auto& e) { std::filesystem::create_symlink(e / "none", p); }},
  };
  for (const auto& c : cases) {
    c.make(path, elsewhere);
    {
      std::optional<DaemonLock> lock;
      ASSERT_NO_THROW(lock.emplace(DaemonLock::acquire(path))) << c.name;
      EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path)))
          << c.name;
      EXPECT_EQ(readFile(path), std::to_string(getpid()) + "\n") << c.name;
    }
    EXPECT_EQ(readFile(elsewhere), "someone's file\n") << c.name;
    std::filesystem::remove(path);
  }
}

}  // namespace
}  // namespace tamrin
