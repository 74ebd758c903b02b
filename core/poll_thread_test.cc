#include "core/poll_thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <stdexcept>
#include <thread>

namespace tamrin {
namespace {

using namespace std::chrono_literals;

template <typename Condition>
bool eventually(Condition done) {
  for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(10ms);
  return done();
}

UniqueFd readyLater() { return UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)); }
void makeReady(const UniqueFd& fd) { ::eventfd_write(fd.get(), 1); }
void drain(const UniqueFd& fd) {
  eventfd_t ignored = 0;
  ::eventfd_read(fd.get(), &ignored);
}

// Counts the thread's rounds; a test waits for more of them to know that everything the
// thread would have done by then is done.
struct Rounds {
  std::atomic<int> count{0};
  PollThread::Callbacks callbacks() {
    return {.beforeWait = [this]() -> PollThread::Wait {
      ++count;
      return std::nullopt;
    }};
  }
  // Wakes the thread and waits until it has begun two more rounds.
  bool passTwo(const PollThread& thread) {
    const int from = count;
    return eventually([&] {
      thread.wake();
      return count >= from + 2;
    });
  }
};

TEST(PollThreadTest, RunsTheHandlersOfReadyDescriptorsOnly) {
  const UniqueFd first = readyLater();
  const UniqueFd second = readyLater();
  std::atomic<int> firstRuns{0}, secondRuns{0};
  std::atomic<short> firstEvents{0};
  Rounds rounds;
  PollThread thread;
  thread.watch(first.get(), POLLIN, [&](short revents) {
    firstEvents = revents;
    drain(first);
    ++firstRuns;
  });
  thread.watch(second.get(), POLLIN, [&](short) {
    drain(second);
    ++secondRuns;
  });
  thread.start(rounds.callbacks());
  makeReady(first);
  ASSERT_TRUE(eventually([&] { return firstRuns == 1; }));
  EXPECT_EQ(firstEvents, POLLIN);
  ASSERT_TRUE(rounds.passTwo(thread));
  EXPECT_EQ(secondRuns, 0);
  EXPECT_EQ(firstRuns, 1) << "drained, so not ready again";
  makeReady(second);
  EXPECT_TRUE(eventually([&] { return secondRuns == 1; }));
}

// Both descriptors stay ready: a handler that still ran would run again every round.
TEST(PollThreadTest, AnUnwatchedDescriptorRunsNoHandlerFromThenOnEvenInTheSameRound) {
  const UniqueFd first = readyLater();
  const UniqueFd second = readyLater();
  makeReady(first);
  makeReady(second);
  std::atomic<int> firstRuns{0}, secondRuns{0};
  Rounds rounds;
  PollThread thread;
  thread.watch(first.get(), POLLIN, [&](short) {
    ++firstRuns;
    thread.unwatch(first.get());  // itself, while it runs
    thread.unwatch(second.get());
  });
  thread.watch(second.get(), POLLIN, [&](short) { ++secondRuns; });
  thread.start(rounds.callbacks());
  ASSERT_TRUE(eventually([&] { return firstRuns > 0; }));
  ASSERT_TRUE(rounds.passTwo(thread));
  EXPECT_EQ(firstRuns, 1);
  EXPECT_EQ(secondRuns, 0);
}

TEST(PollThreadTest, AWakeOrTheWaitGivenBeginsANewRound) {
  std::atomic<int> rounds{0};
  std::atomic<bool> shortWaits{false};
  PollThread thread;
  thread.start({.beforeWait = [&]() -> PollThread::Wait {
    ++rounds;
    if (shortWaits) return 1ms;
    return std::nullopt;
  }});
  ASSERT_TRUE(eventually([&] { return rounds == 1; }));
  thread.wake();
  ASSERT_TRUE(eventually([&] { return rounds == 2; }));
  shortWaits = true;
  thread.wake();
  EXPECT_TRUE(eventually([&] { return rounds >= 10; })) << "one wake, then the waits end";
}

TEST(PollThreadTest, StoppingFromAHandlerSkipsTheRestOfTheRoundAndEndsTheThread) {
  const UniqueFd first = readyLater();
  const UniqueFd second = readyLater();
  makeReady(first);
  makeReady(second);
  std::atomic<int> firstRuns{0}, secondRuns{0};
  Rounds rounds;
  {
    PollThread thread;
    thread.watch(first.get(), POLLIN, [&](short) {
      ++firstRuns;
      thread.stop();
    });
    thread.watch(second.get(), POLLIN, [&](short) { ++secondRuns; });
    thread.start(rounds.callbacks());
    ASSERT_TRUE(eventually([&] { return firstRuns > 0; }));
  }  // joins the thread that ended by itself
  EXPECT_EQ(firstRuns, 1);
  EXPECT_EQ(secondRuns, 0);
  EXPECT_EQ(rounds.count, 1) << "no round after the stop";
}

TEST(PollThreadTest, DestroyedFromOutsideNoCallbackRunsAfterwards) {
  const UniqueFd ready = readyLater();
  std::atomic<int> runs{0};
  Rounds rounds;
  {
    PollThread thread;
    thread.watch(ready.get(), POLLIN, [&](short) { ++runs; });
    thread.start(rounds.callbacks());
    ASSERT_TRUE(eventually([&] { return rounds.count > 0; }));
  }
  const int roundsAtEnd = rounds.count;
  makeReady(ready);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(rounds.count, roundsAtEnd);
}

// What the callbacks hold (here a token) lives until the detached thread has ended.
TEST(PollThreadTest, DestroyedFromItsOwnHandlerTheThreadEndsAfterIt) {
  const UniqueFd ready = readyLater();
  auto token = std::make_shared<int>(0);
  const std::weak_ptr<int> held = token;
  std::atomic<int> runs{0}, roundsAfter{0};
  std::atomic<bool> destroyed{false};
  auto thread = std::make_unique<PollThread>();
  thread->watch(ready.get(), POLLIN, [&, token = std::move(token)](short) {
    ++runs;
    thread.reset();
    destroyed = true;
  });
  thread->start({.beforeWait = [&]() -> PollThread::Wait {
    if (destroyed) ++roundsAfter;
    return std::nullopt;
  }});
  makeReady(ready);
  ASSERT_TRUE(eventually([&] { return destroyed.load(); }));
  EXPECT_TRUE(eventually([&] { return held.expired(); }));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(roundsAfter, 0);
}

void ignoreSignal(int) {}

// Signals are sent until one interrupts the wait (one that arrives elsewhere does not).
TEST(PollThreadTest, ASignalDuringTheWaitBeginsANewRoundAndNothingFails) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = ignoreSignal;  // without SA_RESTART: poll() returns EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  const UniqueFd ready = readyLater();
  std::atomic<int> rounds{0}, failures{0}, runs{0};
  std::atomic<pthread_t> self{};
  {
    PollThread thread;
    thread.watch(ready.get(), POLLIN, [&](short) {
      drain(ready);
      ++runs;
    });
    thread.start({.beforeWait = [&]() -> PollThread::Wait {
                    self = ::pthread_self();
                    ++rounds;
                    return std::nullopt;
                  },
                  .failed = [&](int) { ++failures; }});
    ASSERT_TRUE(eventually([&] { return rounds == 1; }));
    EXPECT_TRUE(eventually([&] {
      ::pthread_kill(self.load(), SIGUSR1);
      return rounds >= 2;
    }));
    makeReady(ready);
    EXPECT_TRUE(eventually([&] { return runs == 1; })) << "still dispatching";
  }
  EXPECT_EQ(failures, 0);
  ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(PollThreadTest, OnceStartedOnlyItsOwnThreadChangesWhatIsWatched) {
  const UniqueFd ready = readyLater();
  PollThread thread;
  thread.start();
  EXPECT_THROW(thread.watch(ready.get(), POLLIN, [](short) {}), std::logic_error);
  EXPECT_THROW(thread.unwatch(ready.get()), std::logic_error);
}

}  // namespace
}  // namespace tamrin
