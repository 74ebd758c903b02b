#include "daemon/daemon_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <optional>

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

}  // namespace
}  // namespace tamrin
