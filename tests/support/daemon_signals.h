#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

namespace tamrin::testing {

// The signal state of the running daemon, for the life of this object: SIGPIPE ignored and
// SIGTERM blocked on the calling thread. A test starts a child under it to check that the child
// inherits neither.
class DaemonSignals {
 public:
  DaemonSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    EXPECT_EQ(sigaction(SIGPIPE, &ignore, &previousAction_), 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    EXPECT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previousMask_), 0);
  }
  ~DaemonSignals() {
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
    sigaction(SIGPIPE, &previousAction_, nullptr);
  }
  DaemonSignals(const DaemonSignals&) = delete;
  DaemonSignals& operator=(const DaemonSignals&) = delete;

 private:
  struct sigaction previousAction_ {};
  sigset_t previousMask_{};
};

}  // namespace tamrin::testing
