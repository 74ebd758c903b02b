// The service's address refresh with a fake direct resolver and a simulated filter tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "daemon/service/daemon_service.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"
#include "tests/support/service_fixture.h"

namespace tamrin {
namespace {

using testing::utcInstant;
using List = std::vector<std::string>;
using Arguments = std::vector<std::string>;

const Instant kInBlock = utcInstant(2026, 3, 2, 10, 0);  // 04:00-20:00 UTC every day
const Instant kJustBefore = utcInstant(2026, 3, 2, 3, 59, 30);
const Arguments kReload = {"-a", "com.apple/app.tamrin", "-f"};

class AddressRefreshPassTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    TamrinPolicy policy(testing::window(240, 1200));
    policy.resolvedAddresses = List{"192.0.2.1"};
    writePolicy(policy);
    // The simulated table takes the addresses added to it.
    answer = [](const Arguments& arguments) {
      return arguments.size() > 4 && arguments[3] == "blocked" ? std::optional(std::string())
                                                               : std::nullopt;
    };
    DaemonEnvironment refreshed = environment();
    refreshed.resolveDomains = [this](const List&) { return systemAnswer; };
    refreshed.resolveDirect = [this](const List& hostnames) {
      ++directCalls;
      askedNames = hostnames;
      // Another thread must be able to take the lock while the resolver runs.
      auto taken =
          std::async(std::launch::async, [this] { MutexLock guard(service->TEST_lock()); });
      lockWasFree = taken.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
      return direct;
    };
    service = makeService(std::move(refreshed));
  }
  void TearDown() override {
    discard(service);
    ServiceFixture::TearDown();
  }

  TamrinPolicy savedPolicy() const { return stored(); }
  // The commands run since `mark`, with rule-file paths cut off.
  bool ranSince(std::size_t mark, const Arguments& prefix) const {
    return std::any_of(commands.begin() + mark, commands.end(), [&](const Arguments& a) {
      return a.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), a.begin());
    });
  }

  List systemAnswer{"192.0.2.5"};
  DirectResolution direct;
  int directCalls = 0;
  List askedNames;
  bool lockWasFree = false;
  std::shared_ptr<DaemonService> service;
};

DirectResolution answered(List addresses, std::uint32_t ttl) {
  return {.answers = {{.hostname = "example.com", .addresses = std::move(addresses), .ttl = ttl}},
          .complete = true};
}

TEST_F(AddressRefreshPassTest, ANewAddressDuringABlockIsAddedSavedAndNeverReloaded) {
  direct = answered({"192.0.2.9", "192.0.2.1", "127.0.0.1"}, 45);
  service->TEST_runPass(kInBlock);
  ASSERT_EQ(directCalls, 1);
  EXPECT_TRUE(lockWasFree);
  EXPECT_EQ(askedNames, (List{"example.com", "www.example.com"}));
  const Arguments add = {"-a", "com.apple/app.tamrin", "-t", "blocked", "-T", "add", "192.0.2.9"};
  const auto added = std::find(commands.begin(), commands.end(), add);
  ASSERT_NE(added, commands.end());
  EXPECT_FALSE(ranSince(added - commands.begin(), kReload)) << "added, not reloaded";
  EXPECT_EQ(savedPolicy().resolvedAddresses, (List{"192.0.2.1", "192.0.2.9"}));

  // The TTL sets the next refresh; nothing is removed when the answer moves on again.
  now = kInBlock + 44;
  service->TEST_runPass(now);
  EXPECT_EQ(directCalls, 1);
  now = kInBlock + 45;
  direct = answered({"192.0.2.10"}, 600);
  std::size_t mark = commands.size();
  service->TEST_runPass(now);
  EXPECT_EQ(directCalls, 2);
  EXPECT_EQ(savedPolicy().resolvedAddresses, (List{"192.0.2.1", "192.0.2.10", "192.0.2.9"}));
  mark = commands.size();
  now = kInBlock + 45 + 299;
  service->TEST_runPass(now);
  EXPECT_EQ(directCalls, 2) << "a long TTL still refreshes every 5 minutes, not sooner";
  EXPECT_FALSE(ranSince(mark, {"-T"}));
}

TEST_F(AddressRefreshPassTest, AFailedResolutionKeepsEverythingAndIsRetriedAfterThirtySeconds) {
  direct = {};  // time-out: incomplete, nothing found
  service->TEST_runPass(kInBlock);
  EXPECT_EQ(savedPolicy().resolvedAddresses, List{"192.0.2.1"});
  now = kInBlock + 29;
  service->TEST_runPass(now);
  EXPECT_EQ(directCalls, 1);
  now = kInBlock + 30;
  const std::size_t mark = commands.size();
  service->TEST_runPass(now);
  EXPECT_EQ(directCalls, 2);
  EXPECT_EQ(commands.size(), mark) << "a wake for a refresh alone runs no pass";
  now = kInBlock + 29 + 60;
  service->TEST_runPass(now);
  EXPECT_GT(commands.size(), mark) << "the pass keeps its 60-s deadline";
}

TEST_F(AddressRefreshPassTest, TheLastPassBeforeABlockReplacesTheListFromBothResolvers) {
  now = kJustBefore;
  direct = answered({"192.0.2.6"}, 300);
  const std::size_t mark = commands.size();
  service->TEST_runPass(now);
  EXPECT_EQ(savedPolicy().resolvedAddresses, (List{"192.0.2.5", "192.0.2.6"}));
  EXPECT_FALSE(ranSince(mark, kReload)) << "outside a block nothing is loaded";

  // A failing fresh resolution keeps the list.
  direct = {};
  systemAnswer = {};
  service->TEST_runPass(now.load() + 10);
  EXPECT_EQ(savedPolicy().resolvedAddresses, (List{"192.0.2.5", "192.0.2.6"}));
}

TEST_F(AddressRefreshPassTest, TheTimerWakesForTheNextRefreshDuringABlock) {
  direct = answered({"192.0.2.1"}, 40);
  service->start();
  service->TEST_runPass(kInBlock);
  const auto wait = secondsToDeadline(*service);
  ASSERT_TRUE(wait);
  EXPECT_GT(*wait, 35);
  EXPECT_LT(*wait, 41);
}

}  // namespace
}  // namespace tamrin
