#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/daemon_protocol.h"
#include "core/daemon_status.h"
#include "core/instant.h"
#include "core/policy.h"
#include "daemon/enforcement/fake_packet_filter_runner.h"
#include "daemon/service/daemon_environment.h"
#include "daemon/service/daemon_service.h"
#include "tests/support/local_time.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {

// The one fixture of the service's tests. It owns a scratch directory with a hosts file and
// the policy's place, a simulated filter tool that records every command, a system resolver
// and a DNS flush that count their calls, and one clock moved by hand that drives the
// service's wall and boot clocks and the timer's wall and monotonic clocks. No test waits on
// real time: a test moves the clock and waits, bounded, for what the timer's thread does.
class ServiceFixture : public ::testing::Test {
 protected:
  using Arguments = std::vector<std::string>;

  // A request's reply as the service handed it over, and how often it did.
  struct Outcome {
    std::optional<Data> data;
    std::optional<std::string> text;
    int calls = 0;
  };

  // Writes the hosts file "127.0.0.1 localhost\n".
  void SetUp() override;
  // Waits until every service made here has let go of the fixture.
  void TearDown() override;

  // A service over the fixture's fakes, its clocks and its pass counter; tests replace or add
  // members before handing it to makeService.
  DaemonEnvironment environment();
  std::shared_ptr<DaemonService> makeService() { return makeService(environment()); }
  std::shared_ptr<DaemonService> makeService(DaemonEnvironment environment);
  // Drops the test's reference and waits until nothing holds the service (a pass on the
  // timer's thread included) and the timer's thread has ended, so nothing of it runs after.
  void discard(std::shared_ptr<DaemonService>& service);

  // Time passes: the wall, boot and monotonic clocks move on together and the timers look.
  void advance(double seconds);
  void advanceTo(Instant wall) { advance(wall - now.load()); }
  // Only the monotonic clock moves on, the wall clock stands: the timer still runs a pass at
  // least every minute.
  void advanceMonotonic(double seconds);
  // Makes the timers of every live service read the clocks again (after `now` was set).
  void wakeTimers();
  // Seconds from the wall clock to the timer's deadline; absent while it has none.
  std::optional<double> secondsToDeadline(const DaemonService& service) const;

  // The passes the timers have finished (counted by the environment's afterTimerPass).
  int timerPasses() const { return timerPasses_.load(); }
  // Whether `condition` holds within a generous bound, looked at again after every timer
  // pass (and every few milliseconds for what no pass signals).
  bool eventually(const std::function<bool()>& condition);
  // Whether every timer that had a pass due has run it, and none is due any more.
  bool timersSettle();

  // Each request's reply must come exactly once.
  template <typename Send>
  static Outcome call(Send send) {
    Outcome outcome;
    send([&](std::optional<Data> data, std::optional<std::string> text) {
      ++outcome.calls;
      outcome.data = std::move(data);
      outcome.text = std::move(text);
    });
    EXPECT_EQ(outcome.calls, 1);
    return outcome;
  }
  // The status, which must be answered.
  static DaemonStatus status(DaemonService& service);
  static Outcome enable(DaemonService& service, const std::string& json);
  static Outcome update(DaemonService& service, const std::string& json);
  static Outcome remove(DaemonService& service);

  void writePolicy(const TamrinPolicy& policy);
  TamrinPolicy stored() const;
  std::string hostsText() const;
  bool hostsBlocked() const;
  // Whether the tool was run with exactly `arguments`.
  bool ran(const Arguments& arguments);

  ScratchDirectory scratch{"service"};
  const std::filesystem::path directory = scratch.path();
  const std::filesystem::path hostsPath = directory / "hosts";
  const std::filesystem::path policyPath = directory / "state" / "policy.json";

  // The clock: the wall clock, read by the service and the timer (a test may set it, as a
  // user sets the time), the boot clock, and the calendar's zone.
  std::atomic<Instant> now{testing::utcInstant(2026, 3, 2, 10, 0)};
  // Whether the service reads the boot clock below (and so holds blocks on it).
  bool withBootClock = false;
  std::atomic<double> bootNow{1000};
  std::atomic<double> bootStep{0};  // how far the boot clock moves at each reading
  std::atomic<const char*> bootId{"boot-a"};
  std::atomic<const char*> zone{"UTC"};

  // The filter tool: `fake` answers, under recordMutex, after onCommand has seen the command
  // and unless `answer` answers it instead.
  std::mutex recordMutex;
  FakePacketFilterRunner fake;
  std::vector<Arguments> commands;
  std::function<void(const Arguments&)> onCommand;
  std::function<std::optional<std::string>(const Arguments&)> answer;

  // The system resolver answers `addresses` (throws when there are none) after running
  // duringResolve.
  std::function<void()> duringResolve;
  std::vector<std::string> addresses{"192.0.2.1"};
  // A lookup of one domain found here answers its own addresses instead.
  std::map<std::string, std::vector<std::string>> addressesOf;
  std::vector<std::string> resolvedDomains;
  int resolverCalls = 0;
  bool resolverSawBlock = false;
  std::atomic<int> flushes{0};
  bool flushFails = false;

 private:
  std::chrono::steady_clock::time_point monotonic() const;
  std::chrono::system_clock::time_point wall() const;

  // A service made here and the sign that it and its timer's thread let go of the fixture.
  struct Made {
    std::weak_ptr<DaemonService> service;
    const DaemonService* address;
    std::shared_future<void> released;
  };
  std::vector<Made> made_;
  std::atomic<std::int64_t> monotonicNanos_{0};
  std::atomic<int> timerPasses_{0};
  std::mutex passMutex_;
  std::condition_variable passed_;
};

}  // namespace tamrin
