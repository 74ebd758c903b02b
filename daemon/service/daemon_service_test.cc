#include "daemon/service/daemon_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "core/configuration_limits.h"
#include "core/daemon_status.h"
#include "core/file_io.h"
#include "core/regular_file.h"
#include "core/tamrin_error.h"
#include "core/week_coverage.h"
#include "daemon/enforcement/fake_packet_filter_runner.h"
#include "daemon/enforcement/protection_layers.h"
#include "daemon/service/pass_timing.h"
#include "tests/support/configurations.h"
#include "tests/support/fake_protection_watcher.h"
#include "tests/support/fake_service_manager.h"
#include "tests/support/local_time.h"
#include "tests/support/service_fixture.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using testing::utcInstant;

constexpr const char* kUnavailable =
    "Tamrin can\u2019t safely read its blocking state. Restart the computer and try again.";
constexpr const char* kLocked =
    "Tamrin can\u2019t be removed during an active block. Try again when access returns.";
constexpr const char* kHostsText = "127.0.0.1 localhost\n";
constexpr const char* kLeftoverBlock =
    "127.0.0.1 localhost\n\n# BEGIN TAMRIN BLOCK\n0.0.0.0\told.org\n# END TAMRIN BLOCK\n";

using testing::window;

// 04:00-20:00 UTC every day; March 2nd 2026 at 10:00 lies inside a block.
const TamrinConfiguration kDay = window(240, 1200);
const Instant kInBlock = utcInstant(2026, 3, 2, 10, 0);
const Instant kOutside = utcInstant(2026, 3, 2, 21, 0);

class DaemonServiceTest : public ServiceFixture {
 protected:
  // One pass at `at`, with the system lookups it wants (run without the lock).
  static void reconcile(DaemonService& service, Instant at) { service.TEST_runPass(at); }
  static TamrinPolicy policyOf(DaemonService& service) { return service.TEST_policy().value(); }
};

// Reported changes: what each pass after start() ran, counted by its listing commands.
class WatchedServiceTest : public DaemonServiceTest {
 protected:
  void SetUp() override {
    DaemonServiceTest::SetUp();
    TamrinPolicy policy(kDay);
    policy.resolvedAddresses = {{"192.0.2.1"}};  // resolved before the block began
    writePolicy(policy);
  }
  void TearDown() override {
    discard(service);
    DaemonServiceTest::TearDown();
  }
  // Makes a service watched by a fake watcher, with further `layers` when given.
  void makeWatched(std::shared_ptr<const ProtectionLayers> layers = nullptr) {
    DaemonEnvironment watched = environment();
    auto owned = std::make_unique<FakeProtectionWatcher>();
    watcher = owned.get();
    watched.watchers.push_back(std::move(owned));
    watched.layers = std::move(layers);
    service = makeService(std::move(watched));
  }
  void startWatched(std::shared_ptr<const ProtectionLayers> layers = nullptr) {
    makeWatched(std::move(layers));
    service->start();
  }

  std::size_t listings() {
    std::lock_guard lock(recordMutex);
    return std::count(commands.begin(), commands.end(),
                      std::vector<std::string>{"-a", std::string(kPacketFilterAnchor), "-sr"});
  }
  // The listing commands run in reaction to `act`, once the timer has run every pass that
  // fell due while the clock moved on past the settling time and the gap between passes.
  std::size_t listingsAfter(const std::function<void()>& act) {
    const std::size_t before = listings();
    act();
    advance(
        std::chrono::duration<double>(ReconciliationTimer::kSettle + ReconciliationTimer::kGap * 2)
            .count());
    EXPECT_TRUE(timersSettle());
    return listings() - before;
  }

  std::shared_ptr<DaemonService> service;
  FakeProtectionWatcher* watcher = nullptr;
};

TEST_F(WatchedServiceTest, ReportsMakeOneCoalescedPassThatRepairsAndThenChangesNothing) {
  startWatched();
  const std::size_t onePass = listingsAfter([&] { watcher->report(); });
  EXPECT_EQ(onePass, 1u) << "a pass over a filter in place lists it once";
  EXPECT_EQ(listingsAfter([&] {
              for (int i = 0; i < 500; ++i) watcher->report();
            }),
            onePass);
  EXPECT_EQ(listingsAfter([] {}), 0u) << "no pass without a report";
  using Change = ProtectionWatcher::Change;
  EXPECT_EQ(listingsAfter([&] { watcher->report(Change::hostsFile); }), 0u)
      << "the filter, unchanged since it was found in place, is not listed again";

  // Hand-made damage to both mechanisms is repaired by the pass that follows the report...
  writeFileAtomically(hostsPath, kHostsText, 0644);
  {
    std::lock_guard lock(recordMutex);
    fake.extraLoadedRule = "\npass out quick all";
  }
  listingsAfter([&] { watcher->report(); });
  EXPECT_NE(hostsText(), kHostsText);
  EXPECT_TRUE(ran({"-a", std::string(kPacketFilterAnchor), "-f",
                   (directory / "pf" / "pf-rules.conf").string()}));
  EXPECT_TRUE(status(*service).managedHostsBlockPresent);
  EXPECT_FALSE(status(*service).managedPacketFilterBlockPresent) << "the foreign rule stays";
  // ...and the pass after that change (its own echo) writes nothing and loads nothing.
  {
    std::lock_guard lock(recordMutex);
    fake.extraLoadedRule.clear();
    commands.clear();
  }
  const int flushesBefore = flushes;
  const auto hostsBefore = fs::last_write_time(hostsPath);
  listingsAfter([&] { watcher->report(); });
  EXPECT_EQ(fs::last_write_time(hostsPath), hostsBefore);
  EXPECT_EQ(flushes, flushesBefore);
  {
    std::lock_guard lock(recordMutex);
    for (const auto& command : commands) {
      EXPECT_TRUE(command[0] == "-s" || command.back() == "-sr") << command[0];
    }
    EXPECT_FALSE(commands.empty());
  }
  EXPECT_TRUE(status(*service).managedPacketFilterBlockPresent);
  // A watcher that stopped is not trusted: every pass lists the filter again.
  EXPECT_EQ(listingsAfter([&] { watcher->report(Change::stopped); }), onePass);
  EXPECT_EQ(listingsAfter([&] { watcher->report(Change::hostsFile); }), onePass);
}

// Until start(), neither a report nor a request runs a pass or arms the timer.
TEST_F(WatchedServiceTest, NothingRunsBeforeStart) {
  makeWatched();
  EXPECT_EQ(listingsAfter([&] {
              watcher->report();
              service->requestReconciliation();
            }),
            0u);
  EXPECT_EQ(timerPasses(), 0);
  EXPECT_FALSE(service->TEST_timerDeadline());
  {
    std::lock_guard lock(recordMutex);
    EXPECT_TRUE(commands.empty());
  }
  service->start();
  EXPECT_TRUE(service->TEST_timerDeadline());
  EXPECT_EQ(listingsAfter([&] { watcher->report(); }), 1u);
  EXPECT_EQ(timerPasses(), 1);
}

// A pass that finds the filter untouched since it was in place still repairs the other layers.
TEST_F(WatchedServiceTest, APassThatSkipsTheFilterStillRepairsTheLayers) {
  const fs::path chromium = directory / "chromium";
  fs::create_directories(chromium);
  startWatched(std::make_shared<ProtectionLayers>(
      NameServicePaths{.suffixList = directory / "suffixes",
                       .nsswitch = directory / "nsswitch.conf",
                       .module = directory / "libnss_tamrin.so.2"},
      BrowserPolicyPaths{.chromiumRoot = chromium,
                         .chromeRoot = directory / "no-chrome",
                         .firefoxRoot = directory / "no-firefox",
                         .firefoxPrograms = {},
                         .snapChromiumRoot = directory / "no-snap-chromium",
                         .braveRoot = directory / "no-brave"}));
  const fs::path policy = chromium / "policies" / "managed" / "tamrin.json";
  listingsAfter([&] { watcher->report(); });
  ASSERT_TRUE(fs::exists(policy));
  fs::remove(policy);
  EXPECT_EQ(listingsAfter([&] { watcher->report(ProtectionWatcher::Change::hostsFile); }), 0u);
  EXPECT_TRUE(fs::exists(policy));
}

// Under systemd the unit refuses a stop while the block runs: guarded from the first pass, put
// back when removed by hand, released when the block ends.
TEST_F(WatchedServiceTest, TheStopGuardFollowsTheBlockAndIsRepaired) {
  const fs::path units = directory / "units";
  const fs::path dropIn = units / "tamrin-daemon.service.d" / StopGuard::kFileName;
  const auto systemd = std::make_shared<FakeServiceManager>(dropIn);
  startWatched(std::make_shared<ProtectionLayers>(NameServicePaths{}, BrowserPolicyPaths{},
                                                  StopGuard(units, systemd)));
  EXPECT_TRUE(systemd->unitState().refusesManualStop);
  const auto guarded = [&] {
    const DaemonStatus now = status(*service);
    return std::ranges::count(now.layersInForce, StopGuard::kName) == 1 &&
           !now.hasProtectionMismatch();
  };
  EXPECT_TRUE(guarded());
  fs::remove(dropIn);
  listingsAfter([&] { watcher->report(ProtectionWatcher::Change::hostsFile); });
  EXPECT_TRUE(fs::exists(dropIn));
  EXPECT_TRUE(systemd->unitState().refusesManualStop);
  EXPECT_TRUE(guarded());
  advanceTo(kOutside);
  // The pass removes the file, then has systemd reload: wait for both.
  EXPECT_TRUE(eventually(
      [&] { return !fs::exists(dropIn) && !systemd->unitState().refusesManualStop; }));
  EXPECT_EQ(status(*service).layersInForce, std::vector<std::string>{});
}

// Changes the watcher cannot see wait for the timer: a problem during a block, retried at every
// pass, gone once the watcher has its watches again.
TEST_F(WatchedServiceTest, AWatcherWithoutItsWatchesIsALayerProblemRetriedAtEveryPass) {
  startWatched();
  const std::string key = ProtectionWatcher::kLayerName;
  watcher->setProblem("the inotify watches ran out");
  const int retries = watcher->retries;
  listingsAfter([&] { watcher->report(ProtectionWatcher::Change::hostsFile); });
  EXPECT_GT(watcher->retries, retries);
  EXPECT_EQ(status(*service).layerProblems[key], "the inotify watches ran out");
  watcher->setProblem(std::nullopt);
  listingsAfter([&] { watcher->report(ProtectionWatcher::Change::hostsFile); });
  EXPECT_FALSE(status(*service).layerProblems.contains(key));
}

// A machine without a hosts file (a container) and nothing configured has nothing amiss.
TEST_F(DaemonServiceTest, NoHostsFileWithNothingConfiguredIsNoMismatch) {
  fs::remove(hostsPath);
  auto service = makeService();
  reconcile(*service, kInBlock);
  EXPECT_FALSE(status(*service).hasProtectionMismatch());
  EXPECT_FALSE(fs::exists(hostsPath));
}

TEST_F(DaemonServiceTest, UnreadablePolicyRefusesEverythingAndTouchesNothing) {
  struct Case {
    const char* name;
    void (*make)(const fs::path&);
  } const cases[] = {
      {"empty", [](const fs::path& p) { writeFileAtomically(p, "", 0600); }},
      {"truncated",
       [](const fs::path& p) { writeFileAtomically(p, R"({"configuration":{"dom)", 0600); }},
      {"wrong shape",
       [](const fs::path& p) { writeFileAtomically(p, R"({"configuration":[1]})", 0600); }},
      {"invalid configuration",
       [](const fs::path& p) {
         writeFileAtomically(p, encodePolicy(TamrinPolicy(window(240, 240))), 0600);
       }},
      {"invalid staged configuration",
       [](const fs::path& p) {
         TamrinPolicy policy(kDay);
         policy.pendingConfiguration = window(1, 2, {"Not Canonical"});
         writeFileAtomically(p, encodePolicy(policy), 0600);
       }},
      {"a directory", [](const fs::path& p) { fs::create_directories(p); }},
      {"a link to itself", [](const fs::path& p) { fs::create_symlink(p, p); }},
      // Opened without blocking and refused by type: a blocking open would never return.
      {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"a valid policy padded past the size limit",
       [](const fs::path& p) {
         std::string json = encodePolicy(TamrinPolicy(kDay));
         json.resize(kMaximumPolicyFileBytes + 1, ' ');
         writeFileAtomically(p, json, 0600);
       }},
  };
  for (const auto& c : cases) {
    fs::remove_all(policyPath.parent_path());
    fs::create_directories(policyPath.parent_path());
    c.make(policyPath);
    writeFileAtomically(hostsPath, kLeftoverBlock, 0644);
    commands.clear();
    auto service = makeService();
    reconcile(*service, kInBlock);
    EXPECT_EQ(call([&](Reply r) { service->getStatus(r); }).text, kUnavailable) << c.name;
    // Only a valid first configuration would replace it; a removal meets the block in force.
    EXPECT_EQ(enable(*service, encodeConfiguration(window(240, 240))).text,
              "The Focus settings are invalid.")
        << c.name;
    EXPECT_EQ(update(*service, encodeConfiguration(kDay)).text, kUnavailable) << c.name;
    EXPECT_EQ(remove(*service).text, kLocked) << c.name;
    EXPECT_EQ(call([&](Reply r) { service->getStatus(r); }).text, kUnavailable) << c.name;
    EXPECT_EQ(hostsText(), kLeftoverBlock) << c.name;
    EXPECT_TRUE(commands.empty()) << c.name;
    EXPECT_EQ(flushes, 0) << c.name;
    EXPECT_TRUE(fs::exists(fs::symlink_status(policyPath))) << c.name;
  }
}

TEST_F(DaemonServiceTest, ScheduleThatNeverEndsIsRefusedAndAStoredOneCanBeReplaced) {
  const TamrinConfiguration endless = testing::windows({{0, 720}, {720, 0}});
  auto service = makeService();
  EXPECT_EQ(enable(*service, encodeConfiguration(endless)).text, kEndlessScheduleMessage);
  EXPECT_FALSE(fs::exists(policyPath));
  ASSERT_FALSE(enable(*service, encodeConfiguration(kDay)).text);
  const std::string stored = readFile(policyPath);
  EXPECT_EQ(update(*service, encodeConfiguration(endless)).text, kEndlessScheduleMessage);
  EXPECT_EQ(readFile(policyPath), stored);
  discard(service);

  // Stored by an older version: unusable, refused removal while its block is in force...
  writePolicy(TamrinPolicy(endless));
  writeFileAtomically(hostsPath, kLeftoverBlock, 0644);
  service = makeService();
  EXPECT_EQ(call([&](Reply r) { service->getStatus(r); }).text, kUnavailable);
  EXPECT_EQ(remove(*service).text, kLocked);
  // ...and replaced by a valid configuration, which governs at once.
  ASSERT_FALSE(enable(*service, encodeConfiguration(kDay)).text);
  EXPECT_EQ(status(*service).policy.value().configuration, kDay);
  EXPECT_EQ(decodePolicy(readFile(policyPath)).configuration, kDay);
  EXPECT_NE(hostsText().find("example.com"), std::string::npos);
  discard(service);

  // Without protection in force, a removal takes it away.
  writePolicy(TamrinPolicy(endless));
  writeFileAtomically(hostsPath, kHostsText, 0644);
  fake = FakePacketFilterRunner();
  service = makeService();
  ASSERT_FALSE(remove(*service).text);
  EXPECT_FALSE(fs::exists(policyPath));
  EXPECT_FALSE(status(*service).policy);
}

TEST_F(DaemonServiceTest, APolicyPathThatCannotBeLookedAtIsNotTakenForNoPolicy) {
  // A name longer than any file name: the lookup fails with ENAMETOOLONG, not "not found".
  const fs::path unreachable = directory / std::string(300, 'p') / "policy.json";
  DaemonEnvironment unreadable = environment();
  unreadable.policyPath = unreachable;
  auto service = makeService(std::move(unreadable));
  EXPECT_EQ(call([&](Reply r) { service->getStatus(r); }).text, kUnavailable);
}

TEST_F(DaemonServiceTest, NoPolicyFileMeansNotEnabled) {
  auto service = makeService();
  writeFileAtomically(hostsPath, kLeftoverBlock, 0644);
  reconcile(*service, kInBlock);
  EXPECT_EQ(hostsText(), kHostsText);
  EXPECT_EQ(flushes, 1);
  const std::string json = *call([&](Reply r) { service->getStatus(r); }).data;
  EXPECT_EQ(json, R"({"managedHostsBlockPresent":false,"managedPacketFilterBlockPresent":false})");
}

TEST_F(DaemonServiceTest, EnableResolvesEnforcesAndPersistsPrivately) {
  auto service = makeService();
  now = kOutside;
  // Under a umask that takes the owner's write bit the new directory must still get 0700.
  const mode_t previousUmask = ::umask(0277);
  const Outcome outcome = enable(*service, encodeConfiguration(kDay));
  ::umask(previousUmask);
  EXPECT_FALSE(outcome.text || outcome.data);
  EXPECT_EQ(resolverCalls, 1);
  EXPECT_FALSE(resolverSawBlock);
  EXPECT_EQ(policyOf(*service).resolvedAddresses, std::vector<std::string>{"192.0.2.1"});
  now = kInBlock;
  reconcile(*service, kInBlock);
  EXPECT_EQ(resolverCalls, 1);
  const DaemonStatus s = status(*service);
  EXPECT_EQ(s.blocked, true);
  EXPECT_TRUE(s.managedHostsBlockPresent);
  EXPECT_TRUE(s.managedPacketFilterBlockPresent);
  EXPECT_EQ(decodePolicy(readFile(policyPath)).resolvedAddresses, s.policy->resolvedAddresses);
  struct stat file {
  }, dir{};
  ASSERT_EQ(::stat(policyPath.c_str(), &file), 0);
  ASSERT_EQ(::stat(policyPath.parent_path().c_str(), &dir), 0);
  EXPECT_EQ(file.st_mode & 07777, 0600u);
  EXPECT_EQ(dir.st_mode & 07777, 0700u);
}

TEST_F(DaemonServiceTest, EnableRefusals) {
  auto service = makeService();
  EXPECT_EQ(enable(*service, encodeConfiguration(window(240, 240))).text,
            "The Focus settings are invalid.");
  const auto decodeError = enable(*service, "[]").text;
  ASSERT_TRUE(decodeError);
  EXPECT_NE(decodeError->find("object"), std::string::npos);
  EXPECT_FALSE(fs::exists(policyPath));
  ASSERT_FALSE(enable(*service, encodeConfiguration(kDay)).text);
  EXPECT_EQ(enable(*service, "not json").text, "Blocking is already enabled.");
}

TEST_F(DaemonServiceTest, ConfigurationTooLargeToReportIsRefusedAndNothingStored) {
  const std::string huge = encodeConfiguration(window(240, 1200, testing::numberedDomains(35000)));
  const std::string message =
      "The configuration is too large (35000 domains, 735063 bytes of JSON); Tamrin accepts at "
      "most 10000 domains and 262144 bytes.";
  auto service = makeService();
  EXPECT_EQ(enable(*service, huge).text, message);
  EXPECT_FALSE(fs::exists(policyPath));
  ASSERT_FALSE(enable(*service, encodeConfiguration(kDay)).text);
  const std::string stored = readFile(policyPath);
  EXPECT_EQ(update(*service, huge).text, message);
  EXPECT_EQ(readFile(policyPath), stored);
  EXPECT_FALSE(status(*service).policy.value().pendingConfiguration);
}

TEST_F(DaemonServiceTest, StoredPolicyBeyondTheLimitLoadsAndIsReportedInOneFrame) {
  TamrinPolicy policy(window(240, 1200, testing::numberedDomains(35000)));
  policy.pendingConfiguration = window(300, 1000, testing::numberedDomains(35000));
  policy.pendingConfigurationAppliesAt = kOutside + 86400;
  writePolicy(policy);
  auto service = makeService();
  const Outcome outcome = call([&](Reply r) { service->getStatus(r); });
  ASSERT_FALSE(outcome.text) << *outcome.text;
  EXPECT_LE(outcome.data.value().size(), kMaxStatusBytes);
  EXPECT_EQ(decodeDaemonStatus(*outcome.data).policy.value().pendingConfigurationAppliesAt,
            policy.pendingConfigurationAppliesAt);
  // It can still be replaced by a configuration of reportable size.
  EXPECT_FALSE(update(*service, encodeConfiguration(kDay)).text);
}

TEST_F(DaemonServiceTest, EnableWithUnwritablePolicyDirectoryStaysDisabled) {
  writeFileAtomically(directory / "state", "a file where the directory belongs", 0600);
  auto service = makeService();
  const auto text = enable(*service, encodeConfiguration(kDay)).text;
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("state"), std::string::npos) << *text;
  EXPECT_FALSE(status(*service).policy.has_value());
}

TEST_F(DaemonServiceTest, UpdateWithoutPolicyReconcilesFirst) {
  auto service = makeService();
  writeFileAtomically(hostsPath, kLeftoverBlock, 0644);
  EXPECT_EQ(update(*service, encodeConfiguration(kDay)).text, "Blocking is not enabled.");
  EXPECT_EQ(hostsText(), kHostsText);
}

TEST_F(DaemonServiceTest, UpdateStagesAndCarriesAddressesOnlyForTheSameList) {
  writePolicy([] {
    TamrinPolicy p(window(240, 1200, {"a.com", "b.com"}));
    p.resolvedAddresses = {{"192.0.2.5"}};
    return p;
  }());
  auto service = makeService();
  ASSERT_FALSE(update(*service, encodeConfiguration(window(360, 1080, {"b.com", "a.com"}))).text);
  TamrinPolicy policy = policyOf(*service);
  EXPECT_FALSE(policy.pendingResolvedAddresses.has_value());
  EXPECT_EQ(policy.pendingConfigurationStopsEnforcingAt, utcInstant(2026, 3, 2, 20, 0));
  EXPECT_EQ(policy.configuration.domains, (std::vector<std::string>{"a.com", "b.com"}));
  EXPECT_TRUE(status(*service).blocked.value());  // the running block continues

  ASSERT_FALSE(update(*service, encodeConfiguration(window(360, 1080, {"a.com", "b.com"}))).text);
  policy = policyOf(*service);
  EXPECT_EQ(policy.pendingResolvedAddresses, std::vector<std::string>{"192.0.2.5"});
  EXPECT_EQ(decodePolicy(readFile(policyPath)), policy);
  EXPECT_EQ(update(*service, "{}").text.value_or("").find("\"domains\"") != std::string::npos,
            true);
}

TEST_F(DaemonServiceTest, RemovalRules) {
  writePolicy(TamrinPolicy(kDay));
  auto service = makeService();
  reconcile(*service, kInBlock);
  EXPECT_EQ(remove(*service).text, kLocked);
  EXPECT_TRUE(fs::exists(policyPath));
  EXPECT_TRUE(HostsFile(hostsPath).containsManagedBlock(std::nullopt));

  now = kOutside;
  const Outcome removed = remove(*service);
  EXPECT_FALSE(removed.text) << *removed.text;
  EXPECT_FALSE(fs::exists(policyPath));
  const DaemonStatus s = status(*service);
  EXPECT_FALSE(s.policy || s.blocked || s.managedHostsBlockPresent ||
               s.managedPacketFilterBlockPresent);
}

TEST_F(DaemonServiceTest, RemovalWithoutPolicyClearsEverythingAndFlushes) {
  writeFileAtomically(hostsPath, kLeftoverBlock, 0644);
  fake.rules =
      "block return out quick inet proto { tcp udp } from any to 192.0.2.1 port { 80 443 } label "
      "\"x\"\n";
  auto service = makeService();
  EXPECT_FALSE(remove(*service).text);
  EXPECT_EQ(hostsText(), kHostsText);
  EXPECT_TRUE(fake.rules.empty());
  EXPECT_EQ(flushes, 1);
}

TEST_F(DaemonServiceTest, RemovalReportsTheFirstFailureButRunsEveryStep) {
  writePolicy(TamrinPolicy(kDay));
  now = kOutside;
  auto service = makeService();
  writeFileAtomically(hostsPath, "# BEGIN TAMRIN BLOCK\n", 0644);  // unbalanced markers
  fake.rules =
      "block return out quick inet proto { tcp udp } from any to 192.0.2.1 port { 80 443 } label "
      "\"x\"\n";
  flushFails = true;
  EXPECT_EQ(remove(*service).text, "The Tamrin hosts block is incomplete; no changes were made.");
  EXPECT_TRUE(fake.rules.empty());
  EXPECT_EQ(flushes, 1);
  EXPECT_TRUE(fs::exists(policyPath));
  EXPECT_TRUE(status(*service).policy.has_value());
}

TEST_F(DaemonServiceTest, ResolverIsNeverCalledWhileTheHostsBlockStands) {
  writePolicy(TamrinPolicy(kDay));
  auto service = makeService();
  addresses.clear();  // resolution fails: hosts-only enforcement
  reconcile(*service, kInBlock);
  EXPECT_EQ(resolverCalls, 0) << "a starting block's hosts entries wait for no lookup";
  DaemonStatus s = status(*service);
  EXPECT_TRUE(s.managedHostsBlockPresent);
  EXPECT_FALSE(s.managedPacketFilterBlockPresent);
  EXPECT_TRUE(s.hasProtectionMismatch());
  EXPECT_TRUE(ran({"-a", "com.apple/app.tamrin", "-sr"}));

  addresses = {"192.0.2.1"};
  reconcile(*service, kInBlock + 60);
  reconcile(*service, kInBlock + 120);
  EXPECT_EQ(resolverCalls, 0);
  EXPECT_FALSE(policyOf(*service).resolvedAddresses.has_value());

  reconcile(*service, kOutside);  // the block lifts: now the sites resolve
  EXPECT_EQ(resolverCalls, 1);
  EXPECT_FALSE(resolverSawBlock);
  EXPECT_EQ(decodePolicy(readFile(policyPath)).resolvedAddresses,
            std::vector<std::string>{"192.0.2.1"});
}

TEST_F(DaemonServiceTest, TheRulesGoInBeforeTheHostsBlockAndComeOutAfterIt) {
  TamrinPolicy policy(kDay);
  policy.resolvedAddresses = {{"192.0.2.1"}};
  writePolicy(policy);
  auto service = makeService();
  std::vector<std::pair<std::string, bool>> seen;  // filter command, hosts block standing
  const auto record = [&](const std::vector<std::string>& arguments) {
    if (arguments.size() == 4 && (arguments[2] == "-f" || arguments[2] == "-F")) {
      seen.emplace_back(arguments[2], HostsFile(hostsPath).containsManagedBlock(std::nullopt));
    }
  };
  onCommand = record;
  reconcile(*service, kInBlock);
  reconcile(*service, kOutside);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{{"-f", false}, {"-F", false}}));
  EXPECT_FALSE(HostsFile(hostsPath).containsManagedBlock(std::nullopt));
}

TEST_F(DaemonServiceTest, SystemLookupsRunAfterTheReplyAndWithoutTheLock) {
  now = kOutside;
  auto service = makeService();
  std::atomic<bool> replied{false}, repliedFirst{false}, answeredMeanwhile{false};
  std::promise<void> answered;
  const std::future<void> statusAnswered = answered.get_future();
  std::thread statusCall;
  duringResolve = [&] {
    repliedFirst = replied.load();
    statusCall = std::thread([&] {
      status(*service);
      answered.set_value();
    });
    answeredMeanwhile =
        statusAnswered.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  };
  service->enableBlocking(encodeConfiguration(kDay), [&](auto, auto) { replied = true; });
  statusCall.join();
  EXPECT_TRUE(repliedFirst);
  EXPECT_TRUE(answeredMeanwhile) << "a status request waited for the lookup";
  EXPECT_EQ(policyOf(*service).resolvedAddresses, std::vector<std::string>{"192.0.2.1"});
}

TEST_F(DaemonServiceTest, EnablingIntoABlockTakesTheHostsFilesOwnAddressesAndLooksNothingUp) {
  writeFileAtomically(hostsPath, "127.0.0.1 localhost\n198.51.100.9 www.Example.com\n", 0644);
  auto service = makeService();
  EXPECT_FALSE(enable(*service, encodeConfiguration(kDay)).text);
  EXPECT_EQ(resolverCalls, 0);
  EXPECT_EQ(policyOf(*service).resolvedAddresses, std::vector<std::string>{"198.51.100.9"});
  EXPECT_NE(fake.rules.find("198.51.100.9"), std::string::npos);
  const DaemonStatus s = status(*service);
  EXPECT_TRUE(s.managedHostsBlockPresent && s.managedPacketFilterBlockPresent);
}

TEST_F(DaemonServiceTest, APassMomentsBeforeABlockLeavesTheLookupsToTheNext) {
  writePolicy(TamrinPolicy(kDay));
  auto service = makeService();
  const Instant blockStart = utcInstant(2026, 3, 3, 4, 0);
  now = blockStart - 2;
  reconcile(*service, blockStart - 2);
  EXPECT_EQ(resolverCalls, 0);
  now = blockStart - 30;
  reconcile(*service, blockStart - 30);
  EXPECT_EQ(resolverCalls, 1);
}

TEST_F(DaemonServiceTest, AnswersAreDroppedWhenABlockReachedTheHostsFileMeanwhile) {
  writePolicy(TamrinPolicy(kDay));
  now = kOutside;
  auto service = makeService();
  duringResolve = [&] { writeFileAtomically(hostsPath, kLeftoverBlock, 0644); };
  reconcile(*service, kOutside);
  EXPECT_EQ(resolverCalls, 1);
  EXPECT_FALSE(policyOf(*service).resolvedAddresses.has_value());
}

TEST_F(DaemonServiceTest, APolicyTooLargeToLoadAgainIsNeverStored) {
  writePolicy(TamrinPolicy(kDay));
  auto service = makeService();
  TamrinPolicy huge(kDay);
  huge.resolvedAddresses.emplace();
  for (int i = 0; i < 420000; ++i) {  // about 17 MB of address texts
    huge.resolvedAddresses->push_back("2001:db8:ffff:ffff:ffff:ffff:ffff:" + std::to_string(i));
  }
  const std::string before = readFile(policyPath);
  EXPECT_THROW(service->TEST_persist(huge), std::length_error);
  EXPECT_EQ(readFile(policyPath), before);
  EXPECT_FALSE(service->TEST_policy()->resolvedAddresses.has_value());
}

TEST_F(DaemonServiceTest, DuePendingChangeIsAppliedSavedAndEnforcedInOnePass) {
  TamrinPolicy policy(kDay);
  policy.resolvedAddresses = {{"192.0.2.1"}};
  policy.pendingConfiguration = window(360, 1080, {"new.org"});
  policy.pendingConfigurationStopsEnforcingAt = kInBlock - 7200;
  policy.pendingConfigurationAppliesAt = kInBlock - 3600;
  writePolicy(policy);
  auto service = makeService();
  reconcile(*service, kInBlock);
  const TamrinPolicy saved = decodePolicy(readFile(policyPath));
  EXPECT_EQ(saved.configuration.domains, std::vector<std::string>{"new.org"});
  EXPECT_FALSE(saved.pendingConfiguration.has_value());
  EXPECT_NE(hostsText().find("new.org"), std::string::npos);
}

TEST_F(DaemonServiceTest, FailedSaveKeepsTheChangeInForceUntilALaterPass) {
  TamrinPolicy policy(kDay);
  policy.pendingConfiguration = window(360, 1080, {"new.org"});
  policy.pendingConfigurationStopsEnforcingAt = kInBlock - 7200;
  policy.pendingConfigurationAppliesAt = kInBlock - 3600;
  writePolicy(policy);
  auto service = makeService();
  fs::remove(policyPath);
  fs::create_directory(policyPath);  // the atomic replace cannot rename onto a directory
  reconcile(*service, kInBlock);
  EXPECT_TRUE(service->TEST_policyNeedsSave());
  EXPECT_EQ(service->TEST_policy()->configuration.domains, std::vector<std::string>{"new.org"});
  EXPECT_NE(hostsText().find("new.org"), std::string::npos);
  fs::remove(policyPath);
  reconcile(*service, kInBlock + 1);
  EXPECT_FALSE(service->TEST_policyNeedsSave());
  EXPECT_EQ(decodePolicy(readFile(policyPath)).configuration.domains,
            std::vector<std::string>{"new.org"});
}

TEST_F(DaemonServiceTest, PendingSitesResolveAheadOfTheirFirstBlock) {
  TamrinPolicy policy(kDay);
  policy.pendingConfiguration = window(360, 1080, {"new.org"});
  policy.pendingConfigurationStopsEnforcingAt = kOutside - 60;
  policy.pendingConfigurationAppliesAt = kOutside + 3600 * 9;
  writePolicy(policy);
  auto service = makeService();
  addresses = {"198.51.100.4"};
  reconcile(*service, kOutside);
  EXPECT_EQ(resolvedDomains, std::vector<std::string>{"new.org"});
  EXPECT_EQ(resolverCalls, 1);
  const TamrinPolicy saved = decodePolicy(readFile(policyPath));
  EXPECT_EQ(saved.pendingResolvedAddresses, std::vector<std::string>{"198.51.100.4"});
  EXPECT_FALSE(saved.resolvedAddresses.has_value());
}

TEST_F(DaemonServiceTest, UnreadableHostsFileShowsAsMismatch) {
  writePolicy(TamrinPolicy(kDay));
  auto service = makeService();
  fs::remove(hostsPath);
  fs::create_directory(hostsPath);
  reconcile(*service, kInBlock);
  EXPECT_FALSE(status(*service).managedHostsBlockPresent);
  now = kOutside;
  reconcile(*service, kOutside);
  EXPECT_TRUE(status(*service).managedHostsBlockPresent);
}

TEST_F(DaemonServiceTest, AHostsFileThatCannotBeUsedStillLetsTheFilterOn) {
  struct Case {
    const char* name;
    void (*make)(const fs::path&);
    bool blockWritten;
    bool resolves;  // false where the system resolver, reading the file, could hang or would
                    // find the block just written
  } const cases[] = {
      {"a directory", [](const fs::path& p) { fs::create_directory(p); }, false, true},
      {"a dangling link", [](const fs::path& p) { fs::create_symlink("missing", p); }, false, true},
      {"a link loop", [](const fs::path& p) { fs::create_symlink(p.filename(), p); }, false, true},
      {"an end marker alone",
       [](const fs::path& p) { writeFileAtomically(p, "# END TAMRIN BLOCK\n", 0644); }, false,
       true},
      {"a Latin-1 comment",
       [](const fs::path& p) { writeFileAtomically(p, "127.0.0.1\tlocalhost # caf\xE9\n", 0644); },
       true, false},
      {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }, false, false},
      {"a character device",
       [](const fs::path& p) { ASSERT_EQ(::mknod(p.c_str(), S_IFCHR | 0644, makedev(1, 5)), 0); },
       false, false},
  };
  writePolicy(TamrinPolicy(kDay));
  for (const auto& c : cases) {
    fs::remove_all(hostsPath);
    c.make(hostsPath);
    fake.rules.clear();
    resolverCalls = 0;
    // A resolver that reads a hosts file we cannot see may answer with our sinks.
    addresses = {"0.0.0.0", "192.0.2.1", "::"};
    auto service = makeService();
    reconcile(*service, kInBlock);
    EXPECT_EQ(resolverCalls, c.resolves ? 1 : 0) << c.name;
    EXPECT_EQ(policyOf(*service).resolvedAddresses,
              c.resolves ? std::optional(std::vector<std::string>{"192.0.2.1"}) : std::nullopt)
        << c.name;
    EXPECT_EQ(fake.rules.find("192.0.2.1") != std::string::npos, c.resolves) << c.name;
    EXPECT_EQ(fake.rules.find("0.0.0.0"), std::string::npos) << c.name;
    EXPECT_EQ(status(*service).managedHostsBlockPresent, c.blockWritten) << c.name;
    if (c.blockWritten) {
      EXPECT_TRUE(hostsText().starts_with("127.0.0.1\tlocalhost # caf\xE9\n\n# BEGIN"));
    }
    fs::remove(policyPath);
    writePolicy(TamrinPolicy(kDay));
  }
}

TEST(NextReconciliationDateTest, FallbackAndTransitions) {
  const Calendar utc = Calendar::named("UTC");
  const TamrinPolicy policy(kDay);
  const Instant ends = utcInstant(2026, 3, 2, 20, 0);
  EXPECT_EQ(nextReconciliationDate(std::nullopt, kInBlock, utc), kInBlock + 60);
  EXPECT_EQ(nextReconciliationDate(policy, ends - 30, utc), ends);
  EXPECT_EQ(nextReconciliationDate(policy, ends - 60, utc), ends);
  EXPECT_EQ(nextReconciliationDate(policy, ends - 7200, utc), ends - 7140);
}

TEST_F(DaemonServiceTest, TimerIsArmedForTheNearerOfTransitionAndOneMinute) {
  struct Case {
    Instant now;
    double wait;
  } const cases[] = {
      {utcInstant(2026, 3, 2, 19, 59, 30), 30},
      {utcInstant(2026, 3, 2, 18, 0), 60},
  };
  writePolicy(TamrinPolicy(kDay));
  for (const auto& c : cases) {
    now = c.now;
    auto service = makeService();
    EXPECT_FALSE(service->TEST_timerDeadline()) << "armed only by start()";
    service->start();
    const auto seconds = secondsToDeadline(*service);
    discard(service);
    ASSERT_TRUE(seconds);
    EXPECT_GT(*seconds, c.wait - 5);
    EXPECT_LE(*seconds, c.wait);
  }
}

TEST_F(DaemonServiceTest, TimerFiresWhileRequestsArriveFromSeveralThreads) {
  writePolicy(TamrinPolicy(kDay));
  // The wall clock stands at 10:00, inside the block: every pass measures the filter.
  auto service = makeService();
  service->start();
  std::atomic<int> answered{0}, waitsMissed{0}, clientsDone{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&, i] {
      for (int j = 0; j < 25; ++j) {
        const Outcome outcome = (i % 2 == 0)
                                    ? call([&](Reply r) { service->getStatus(r); })
                                    : update(*service, encodeConfiguration(window(300 + j, 1000)));
        if (!outcome.text) ++answered;
        // Halfway, each client waits for a pass of the timer: requests and passes interleave.
        if (j == 12 && !eventually([&] { return timerPasses() > 0; })) ++waitsMissed;
      }
      ++clientsDone;
    });
  }
  // Each minute of the timer's clock brings a pass, wherever the requests re-armed it.
  while (clientsDone < 4) {
    const int passes = timerPasses();
    advanceMonotonic(60);
    eventually(
        [&] { return timerPasses() > passes || clientsDone == 4 || service->TEST_timerIdle(); });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered, 100);
  EXPECT_EQ(waitsMissed, 0);
  EXPECT_TRUE(timersSettle());  // the last step's pass, if one runs, is over
  const auto recorded = [&] {
    std::lock_guard lock(recordMutex);
    return commands.size();
  };
  const std::size_t before = recorded();
  const int passes = timerPasses();
  advanceMonotonic(60);
  EXPECT_TRUE(eventually([&] { return timerPasses() > passes; }));
  EXPECT_GT(recorded(), before);  // the timer kept firing
  discard(service);
}

TEST_F(DaemonServiceTest, OnlyTimerPassesThatFinishSignLife) {
  writePolicy(TamrinPolicy(kDay));
  auto service = makeService();
  service->start();
  advance(60);
  EXPECT_TRUE(eventually([&] { return timerPasses() > 0; }));
  int before = 0;
  {
    // A pass stuck behind the lock signs nothing: the timer has taken its deadline and runs
    // the pass, which cannot finish.
    MutexLock guard(service->TEST_lock());
    before = timerPasses();
    advance(60);
    EXPECT_TRUE(eventually([&] { return !service->TEST_timerDeadline(); }));
    EXPECT_EQ(timerPasses(), before);
  }
  EXPECT_TRUE(eventually([&] { return timerPasses() > before; }));
  discard(service);
}

TEST_F(DaemonServiceTest, RepliesAreHandedOverOnlyAfterTheLockIsReleased) {
  writePolicy(TamrinPolicy(kDay));
  auto service = makeService();
  const std::string configuration = encodeConfiguration(kDay);
  const struct {
    const char* name;
    std::function<void(Reply)> send;
  } cases[] = {
      {"status", [&](Reply r) { service->getStatus(r); }},
      {"enable", [&](Reply r) { service->enableBlocking(configuration, r); }},
      {"update", [&](Reply r) { service->updateConfiguration(configuration, r); }},
      {"remove", [&](Reply r) { service->prepareForRemoval(r); }},
  };
  for (const auto& c : cases) {
    // A reply that waits for its client must not keep another thread from the lock.
    std::promise<void> tookLock;
    std::future<void> took = tookLock.get_future();
    std::thread other;
    bool lockFree = false;
    c.send([&](std::optional<Data>, std::optional<std::string>) {
      other = std::thread([&] {
        MutexLock guard(service->TEST_lock());
        tookLock.set_value();
      });
      lockFree = took.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    });
    ASSERT_TRUE(other.joinable()) << c.name;
    other.join();
    EXPECT_TRUE(lockFree) << c.name;
  }
}

TEST_F(DaemonServiceTest, DiscardedServiceStopsItsTimer) {
  writePolicy(TamrinPolicy(kDay));
  auto service = makeService();
  service->start();
  advance(60);
  ASSERT_TRUE(eventually([&] { return timerPasses() > 0; }));
  // Returns only once the timer's thread has ended: it no longer holds the clocks.
  discard(service);
  std::size_t count;
  {
    std::lock_guard lock(recordMutex);
    count = commands.size();
  }
  advance(120);
  std::lock_guard lock(recordMutex);
  EXPECT_EQ(commands.size(), count);
}

}  // namespace
}  // namespace tamrin
