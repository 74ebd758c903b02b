#include "daemon/enforcement/enforcement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "core/file_io.h"
#include "core/tamrin_error.h"
#include "daemon/enforcement/fake_packet_filter_runner.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using List = std::vector<std::string>;

constexpr const char* kHostsText = "127.0.0.1 localhost\n";
const List kDomains = {"example.com"};
const List kAddresses = {"192.0.2.1"};
const List kListing = {"-a", std::string(kPacketFilterAnchor), "-sr"};

class EnforcementTest : public ::testing::Test {
 protected:
  void SetUp() override { writeFileAtomically(hostsPath, kHostsText, 0644); }

  EnforcementDemand demand(bool blocking, List addresses = kAddresses) const {
    return {.enabled = true, .blocking = blocking, .domains = kDomains, .addresses = addresses};
  }
  bool hostsBlocked() const { return HostsFile(hostsPath).containsManagedBlock(std::nullopt); }
  std::size_t listings() const { return std::count(commands.begin(), commands.end(), kListing); }
  bool ran(const std::string& flag) const {
    return std::any_of(commands.begin(), commands.end(), [&](const List& command) {
      return command.size() > 2 && command[2] == flag;
    });
  }

  ScratchDirectory scratch{"enforcement"};
  const fs::path hostsPath = scratch.path() / "hosts";
  FakePacketFilterRunner fake;
  List failing;  // a command's third argument whose runs fail ("-sr", "-f", ...); "*" for all
  std::vector<List> commands;
  // Sees each command before the fake tool does.
  std::function<void(const List&)> onCommand;
  int flushes = 0;
  FilterWatch watch;
  Enforcement enforcement{
      HostsFile(hostsPath),
      PacketFilter{.directory = scratch.path() / "pf",
                   .runner =
                       [this](const List& arguments) {
                         commands.push_back(arguments);
                         if (onCommand) onCommand(arguments);
                         const std::string third = arguments.size() > 2 ? arguments[2] : "";
                         if (failing == List{"*"} ||
                             std::count(failing.begin(), failing.end(), third)) {
                           throw TamrinError::packetFilter("tool failed");
                         }
                         // Adding to the address set: nothing to list.
                         if (arguments.size() > 4 && arguments[3] == "blocked") {
                           return std::string();
                         }
                         return fake.run(arguments);
                       }},
      [this] { ++flushes; }, watch};
};

// What one pass finds, by what it demands and what it meets. A block counts what cannot be
// read as missing; outside a block, as still there.
TEST_F(EnforcementTest, APassBringsBothMechanismsInLineAndReportsWhatItFinds) {
  enum class Filter { empty, inPlace, foreignRule, failing };
  enum class Hosts { clean, blocked, unreadable };
  struct Case {
    const char* name;
    bool blocking;
    Filter filter;
    Hosts hosts;
    List addresses;
    ManagedBlocks expected;
    int flushes;
  } const cases[] = {
      {"a block begins", true, Filter::empty, Hosts::clean, kAddresses, {true, true}, 1},
      {"a block in place", true, Filter::inPlace, Hosts::blocked, kAddresses, {true, true}, 0},
      {"a foreign rule beside ours",
       true,
       Filter::foreignRule,
       Hosts::blocked,
       kAddresses,
       {true, false},
       0},
      {"the tool fails during a block",
       true,
       Filter::failing,
       Hosts::clean,
       kAddresses,
       {true, false},
       1},
      {"an unreadable hosts file during a block",
       true,
       Filter::empty,
       Hosts::unreadable,
       kAddresses,
       {false, true},
       0},
      {"a block without addresses", true, Filter::inPlace, Hosts::blocked, {}, {true, false}, 0},
      {"a block ends", false, Filter::inPlace, Hosts::blocked, kAddresses, {false, false}, 1},
      {"nothing to remove", false, Filter::empty, Hosts::clean, kAddresses, {false, false}, 0},
      {"the tool fails outside a block",
       false,
       Filter::failing,
       Hosts::clean,
       kAddresses,
       {false, true},
       0},
      {"an unreadable hosts file outside a block",
       false,
       Filter::empty,
       Hosts::unreadable,
       kAddresses,
       {true, false},
       0},
  };
  for (const auto& c : cases) {
    fs::remove_all(hostsPath);
    writeFileAtomically(hostsPath, kHostsText, 0644);
    fake = FakePacketFilterRunner();
    failing.clear();
    if (c.filter != Filter::empty || c.hosts == Hosts::blocked) enforcement.enforce(demand(true));
    if (c.filter == Filter::foreignRule) fake.extraLoadedRule = "\npass out quick all";
    if (c.filter == Filter::failing) failing = {"*"};
    if (c.hosts == Hosts::clean) writeFileAtomically(hostsPath, kHostsText, 0644);
    if (c.hosts == Hosts::unreadable) {
      fs::remove(hostsPath);
      fs::create_directory(hostsPath);
    }
    flushes = 0;

    const EnforcementReport report = enforcement.enforce(demand(c.blocking, c.addresses));
    EXPECT_EQ(report.managedBlocks.hosts, c.expected.hosts) << c.name;
    EXPECT_EQ(report.managedBlocks.packetFilter, c.expected.packetFilter) << c.name;
    EXPECT_EQ(flushes, c.flushes) << c.name;
    if (c.hosts != Hosts::unreadable) {
      EXPECT_EQ(hostsBlocked(), c.blocking) << c.name;
    }
    EXPECT_TRUE(report.layers.inForce.empty() && report.layers.problems.empty()) << c.name;
  }
}

TEST_F(EnforcementTest, TheRulesGoInBeforeTheHostsBlockAndComeOutAfterIt) {
  std::vector<std::pair<std::string, bool>> seen;  // filter command, hosts block standing
  onCommand = [&](const List& arguments) {
    if (arguments.size() == 4 && (arguments[2] == "-f" || arguments[2] == "-F")) {
      seen.emplace_back(arguments[2], hostsBlocked());
    }
  };
  enforcement.enforce(demand(true));
  enforcement.enforce(demand(false));
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{{"-f", false}, {"-F", false}}));
}

// While a watcher reports and has reported no change of the filter since a pass found it in
// place for the same addresses, a pass runs no tool for it; anything else makes it look.
TEST_F(EnforcementTest, AFilterFoundInPlaceIsNotListedAgainUntilItMayHaveChanged) {
  const auto listingsOf = [&](const EnforcementDemand& d) {
    const std::size_t before = listings();
    EXPECT_TRUE(enforcement.enforce(d).managedBlocks.packetFilter);
    return listings() - before;
  };
  watch.started();
  EXPECT_EQ(listingsOf(demand(true)), 2u) << "loaded, then listed again to measure";
  EXPECT_EQ(listingsOf(demand(true)), 1u) << "found in place: the measurement trusts it";
  EXPECT_EQ(listingsOf(demand(true)), 0u) << "untouched since";
  watch.changed();
  EXPECT_EQ(listingsOf(demand(true)), 1u);
  EXPECT_EQ(listingsOf(demand(true)), 0u);
  EXPECT_EQ(listingsOf(demand(true, {"192.0.2.1", "192.0.2.2"})), 2u) << "other addresses";
  EXPECT_EQ(listingsOf(demand(true, {"192.0.2.1", "192.0.2.2"})), 1u);
  // A look that fails finds nothing in place.
  watch.changed();
  failing = {"-sr"};
  EXPECT_FALSE(
      enforcement.enforce(demand(true, {"192.0.2.1", "192.0.2.2"})).managedBlocks.packetFilter);
  failing.clear();
  // A watcher that stopped is not trusted.
  watch.stopped();
  EXPECT_EQ(listingsOf(demand(true, {"192.0.2.1", "192.0.2.2"})), 1u);
  EXPECT_EQ(listingsOf(demand(true, {"192.0.2.1", "192.0.2.2"})), 1u);
}

TEST_F(EnforcementTest, WithoutAWatcherEveryPassLooks) {
  enforcement.enforce(demand(true));
  const std::size_t before = listings();
  enforcement.enforce(demand(true));
  enforcement.enforce(demand(true));
  EXPECT_EQ(listings() - before, 2u);
}

TEST_F(EnforcementTest, WatcherProblemsAreAskedAtEveryPassAndReportedDuringABlockOnly) {
  int asked = 0;
  const auto withProblem = [&](bool blocking) {
    EnforcementDemand d = demand(blocking);
    d.watcherProblems = [&] {
      ++asked;
      return std::map<std::string, std::string>{{"protectionWatcher", "no watches left"}};
    };
    return enforcement.enforce(d).layers.problems;
  };
  EXPECT_EQ(withProblem(true),
            (std::map<std::string, std::string>{{"protectionWatcher", "no watches left"}}));
  EXPECT_TRUE(withProblem(false).empty());
  EXPECT_EQ(asked, 2);
}

TEST_F(EnforcementTest, ExtendingAddsOnlyTheNewAddressesOrEnablesAllOfThem) {
  const List grown = {"192.0.2.1", "192.0.2.9"};
  enforcement.enforce(demand(true));
  commands.clear();
  enforcement.extendFilter(demand(true, grown), kAddresses);
  const List add = {"-a",       std::string(kPacketFilterAnchor), "-t", "blocked", "-T", "add",
                    "192.0.2.9"};
  EXPECT_NE(std::find(commands.begin(), commands.end(), add), commands.end());
  EXPECT_FALSE(ran("-f")) << "added, not reloaded";

  // A filter cleared for want of addresses gets them all, and the report says so.
  enforcement.enforce(demand(true, {}));
  commands.clear();
  EXPECT_TRUE(enforcement.extendFilter(demand(true, grown), {}).packetFilter);
  EXPECT_TRUE(ran("-f"));
  // A failure is left to the next pass.
  failing = {"*"};
  const ManagedBlocks found = enforcement.extendFilter(demand(true, {"192.0.2.7"}), grown);
  EXPECT_TRUE(found.hosts);
  EXPECT_FALSE(found.packetFilter);
}

TEST_F(EnforcementTest, RemovalRunsEveryStepAndThrowsTheFirstFailure) {
  enforcement.enforce(demand(true));
  writeFileAtomically(hostsPath, "# BEGIN TAMRIN BLOCK\n", 0644);  // unbalanced markers
  flushes = 0;
  EXPECT_THROW(enforcement.removeAll(), TamrinError);
  EXPECT_TRUE(fake.rules.empty()) << "the rules went although the hosts file failed";
  EXPECT_EQ(flushes, 1);
  writeFileAtomically(hostsPath, kHostsText, 0644);
  EXPECT_FALSE(enforcement.mayBeInForce());
  enforcement.removeAll();
  EXPECT_EQ(readFile(hostsPath), kHostsText);
}

TEST_F(EnforcementTest, ProtectionMayBeInForceWhileEitherIsThereOrCannotBeMeasured) {
  EXPECT_FALSE(enforcement.mayBeInForce());
  enforcement.enforce(demand(true));
  EXPECT_TRUE(enforcement.mayBeInForce());
  writeFileAtomically(hostsPath, kHostsText, 0644);
  EXPECT_TRUE(enforcement.mayBeInForce()) << "the rules alone";
  enforcement.enforce(demand(false));
  EXPECT_FALSE(enforcement.mayBeInForce());
  failing = {"-sr"};
  EXPECT_TRUE(enforcement.mayBeInForce()) << "a listing that fails";
}

}  // namespace
}  // namespace tamrin
