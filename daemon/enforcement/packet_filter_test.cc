#include "daemon/enforcement/packet_filter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <fstream>
#include <set>

#include "core/file_io.h"
#include "core/packet_filter_rules.h"
#include "core/tamrin_error.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::vector<std::string>>;

const std::string kAnchor(kPacketFilterAnchor);
const std::vector<std::string> kStatus = {"-s", "info"};
const std::vector<std::string> kEnable = {"-E"};
const std::vector<std::string> kListing = {"-a", kAnchor, "-sr"};
const std::vector<std::string> kFlush = {"-a", kAnchor, "-F", "rules"};

// Answers like the packet-filter tool and records every argument list it is given.
struct FakeTool {
  Calls calls;
  std::string status = "Status: Enabled";
  std::string enableOutput = "Token : 4242";
  std::string listing;
  std::set<std::string> failing;  // first arguments whose runs fail

  std::string run(const std::vector<std::string>& arguments) {
    calls.push_back(arguments);
    if (failing.contains(arguments.front())) {
      throw TamrinError::packetFilter("fake " + arguments.front() + " failure");
    }
    if (arguments == kStatus) return status;
    if (arguments == kEnable) return enableOutput;
    if (arguments == kListing) return listing;
    return "";
  }
};

// What the tool lists for a loaded rule set: four lines per address, with `label`.
std::string listingFor(const std::vector<std::string>& addresses, const std::string& label) {
  std::string listing;
  for (const std::string& address : std::set<std::string>(addresses.begin(), addresses.end())) {
    const std::string family = address.find(':') == std::string::npos ? "inet" : "inet6";
    for (const char* protocol : {"tcp", "udp"}) {
      for (const char* port : {"80", "443"}) {
        listing += "block return out quick " + family + " proto " + protocol + " from any to " +
                   address + " port = " + port + " label \"" + label + "\"\n";
      }
    }
  }
  return listing;
}

std::string listingFor(const std::vector<std::string>& addresses) {
  return listingFor(addresses, packetFilterRuleLabel(addresses));
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

class PacketFilterTest : public testing::Test {
 protected:
  void SetUp() override {
    filter_.directory = root_ / "state" / "tamrin";
    filter_.runner = [this](const std::vector<std::string>& arguments) {
      return tool_.run(arguments);
    };
  }

  void storeToken(const std::string& token) {
    fs::create_directories(filter_.directory);
    writeFileAtomically(filter_.tokenFile(), token, 0600);
  }
  std::vector<std::string> loadCommand() const {
    return {"-a", kAnchor, "-f", filter_.rulesFile().string()};
  }

  ScratchDirectory scratch_{"packet-filter"};
  const fs::path root_ = scratch_.path();
  FakeTool tool_;
  PacketFilter filter_;
};

TEST_F(PacketFilterTest, FirstEnableTakesTokenLoadsRulesAndCutsConnections) {
  const std::vector<std::string> addresses = {"2001:db8::1", "192.0.2.1", "2001:db8::1"};
  tool_.enableOutput = "No ALTQ support in kernel\n\nToken : 4242";

  filter_.enable(addresses);

  EXPECT_EQ(tool_.calls, (Calls{kStatus,
                                kEnable,
                                kListing,
                                loadCommand(),
                                {"-k", "::/0", "-k", "2001:db8::1", "-k", "0.0.0.0/0", "-k",
                                 "192.0.2.1", "-k", "::/0", "-k", "2001:db8::1"}}));
  EXPECT_EQ(readFile(filter_.tokenFile()), "4242");
  EXPECT_EQ(readFile(filter_.rulesFile()), packetFilterRules(addresses));
  EXPECT_EQ(modeOf(filter_.tokenFile()), 0600);
  EXPECT_EQ(modeOf(filter_.rulesFile()), 0600);
  EXPECT_EQ(modeOf(filter_.directory), 0700);
  EXPECT_EQ(modeOf(filter_.directory.parent_path()), 0700);
}

TEST_F(PacketFilterTest, ValidTokenAndCurrentRulesRunOnlyStatusAndListing) {
  const std::vector<std::string> addresses = {"192.0.2.1", "2001:db8::1"};
  storeToken("77");
  tool_.listing = listingFor(addresses);

  filter_.enable(addresses);

  EXPECT_EQ(tool_.calls, (Calls{kStatus, kListing}));
  EXPECT_EQ(readFile(filter_.tokenFile()), "77");
  EXPECT_FALSE(fs::exists(filter_.rulesFile()));
}

TEST_F(PacketFilterTest, StaleTokenIsReplacedByANewOne) {
  storeToken("77");
  tool_.status = "Status: Disabled";
  tool_.enableOutput = "Token : 99";

  filter_.enable({"192.0.2.1"});

  EXPECT_EQ(
      tool_.calls,
      (Calls{kStatus, kEnable, kListing, loadCommand(), {"-k", "0.0.0.0/0", "-k", "192.0.2.1"}}));
  EXPECT_EQ(readFile(filter_.tokenFile()), "99");
}

TEST_F(PacketFilterTest, FilterSwitchedBackOnOverCurrentRulesCutsConnectionsWithoutReload) {
  storeToken("77");
  tool_.status = "Status: Disabled";
  tool_.listing = listingFor({"192.0.2.1"});

  filter_.enable({"192.0.2.1"});

  EXPECT_EQ(tool_.calls,
            (Calls{kStatus, kEnable, kListing, {"-k", "0.0.0.0/0", "-k", "192.0.2.1"}}));
  EXPECT_FALSE(fs::exists(filter_.rulesFile()));
}

TEST_F(PacketFilterTest, EnableOutputWithoutUsableTokenLine) {
  struct Case {
    std::string output;
    std::optional<std::string> token;  // absent: the enable fails
  };
  const Case cases[] = {
      {"", std::nullopt},
      {"pf enabled", std::nullopt},
      {"Token : ", std::nullopt},
      {"Token : \nToken : 5", std::nullopt},  // the first token line decides
      {"Token :5", std::nullopt},
      {"  Token : 5", std::nullopt},
      {"pf enabled\nToken : 1234", "1234"},
      {"\n\nToken : ab cd \nToken : 9", "ab cd "},  // the rest of the line, untrimmed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "output: \"" << c.output << "\"");
    fs::remove_all(filter_.directory);
    tool_ = FakeTool{};
    tool_.enableOutput = c.output;
    try {
      filter_.enable({"192.0.2.1"});
      ASSERT_TRUE(c.token.has_value()) << "no failure";
      EXPECT_EQ(readFile(filter_.tokenFile()), *c.token);
    } catch (const TamrinError& error) {
      EXPECT_FALSE(c.token.has_value()) << "unexpected failure: " << error.what();
      EXPECT_EQ(error.kind(), TamrinError::Kind::packetFilter);
      EXPECT_STREQ(error.what(), "The packet filter failed: pfctl did not return an enable token");
      EXPECT_EQ(tool_.calls, (Calls{kStatus, kEnable}));
      EXPECT_FALSE(fs::exists(filter_.tokenFile()));
    }
  }
}

TEST_F(PacketFilterTest, UnusableAddressesTouchNothing) {
  struct Case {
    std::vector<std::string> addresses;
    TamrinError::Kind kind;
  };
  const Case cases[] = {
      {{}, TamrinError::Kind::domainResolution},
      {{"192.0.2.1", "abc"}, TamrinError::Kind::invalidPacketFilterAddress},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.addresses.size() << " addresses");
    try {
      filter_.enable(c.addresses);
      ADD_FAILURE() << "no error";
    } catch (const TamrinError& error) {
      EXPECT_EQ(error.kind(), c.kind);
    }
    EXPECT_TRUE(tool_.calls.empty());
    EXPECT_FALSE(fs::exists(filter_.directory));
  }
}

TEST_F(PacketFilterTest, FailedLoadIsRepairedByTheNextEnableWithTheSameToken) {
  tool_.failing = {"-a"};
  EXPECT_THROW(filter_.enable({"192.0.2.1"}), TamrinError);
  EXPECT_EQ(readFile(filter_.tokenFile()), "4242");

  tool_ = FakeTool{};
  filter_.enable({"192.0.2.1"});
  EXPECT_EQ(tool_.calls,
            (Calls{kStatus, kListing, loadCommand(), {"-k", "0.0.0.0/0", "-k", "192.0.2.1"}}));
}

TEST_F(PacketFilterTest, ListingCheck) {
  const std::vector<std::string> two = {"2001:db8::1", "192.0.2.1"};
  const std::string label = packetFilterRuleLabel(two);
  const std::string v4Line =
      "block return out quick inet proto tcp from any to 192.0.2.1 port = 80"
      " label \"" +
      label + "\"\n";
  const std::string v6Line =
      "block return out quick inet6 proto tcp from any to 2001:db8::1 port ="
      " 80 label \"" +
      label + "\"\n";
  struct Case {
    const char* name;
    std::vector<std::string> addresses;
    std::string listing;
    bool expected;
  };
  const Case cases[] = {
      {"exact", two, listingFor(two), true},
      {"duplicates and order do not matter",
       {"192.0.2.1", "2001:db8::1", "192.0.2.1"},
       listingFor(two),
       true},
      {"empty lines are ignored", two, "\n\n" + listingFor(two) + "\n", true},
      {"any other line is a mismatch", two, "No ALTQ support in kernel\n\n" + listingFor(two),
       false},
      {"whatever else the table holds is a mismatch", two,
       listingFor(two) + "unexpected rule in chain block: return\n", false},
      {"a fifth line for one address", two, listingFor(two) + v4Line, false},
      {"one line with a foreign label", two,
       listingFor({"192.0.2.1"}, label) + listingFor({"2001:db8::1"}, label).substr(v6Line.size()) +
           listingFor({"2001:db8::1"}, "tamrin-0").substr(0, v6Line.size() - label.size() + 8),
       false},
      {"one address in three lines only", two,
       listingFor({"192.0.2.1"}, label).substr(v4Line.size()) + listingFor({"2001:db8::1"}, label) +
           v6Line,
       false},
      {"the label of another set", two, listingFor(two, packetFilterRuleLabel({"192.0.2.1"})),
       false},
      {"a longer address is not the address",
       {"192.0.2.1"},
       listingFor({"192.0.2.10"}, packetFilterRuleLabel({"192.0.2.1"})),
       false},
      {"nothing loaded", two, "", false},
      {"no addresses", {}, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tool_ = FakeTool{};
    tool_.listing = c.listing;
    EXPECT_EQ(filter_.containsBlock(c.addresses), c.expected);
    EXPECT_EQ(tool_.calls, Calls{kListing});
  }
}

TEST_F(PacketFilterTest, ManagedBlockCheck) {
  const std::vector<std::string> addresses = {"192.0.2.1"};
  struct Case {
    const char* name;
    std::optional<std::vector<std::string>> addresses;
    std::string status;
    std::string listing;
    bool expected;
    Calls calls;
  };
  const Case cases[] = {
      {"any rule: a warning counts",
       std::nullopt,
       "Status: Disabled",
       "ALTQ warning",
       true,
       {kListing}},
      {"any rule: blank listing", std::nullopt, "Status: Enabled", " \n\t\n", false, {kListing}},
      {"empty address list",
       std::vector<std::string>{},
       "Status: Enabled",
       listingFor(addresses),
       false,
       {}},
      {"filter switched off",
       addresses,
       "Status: Disabled",
       listingFor(addresses),
       false,
       {kStatus}},
      {"current rules",
       addresses,
       "Status: Enabled",
       listingFor(addresses),
       true,
       {kStatus, kListing}},
      {"other rules",
       addresses,
       "Status: Enabled",
       listingFor({"192.0.2.2"}),
       false,
       {kStatus, kListing}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tool_ = FakeTool{};
    tool_.status = c.status;
    tool_.listing = c.listing;
    EXPECT_EQ(filter_.containsManagedBlock(c.addresses), c.expected);
    EXPECT_EQ(tool_.calls, c.calls);
  }
}

TEST_F(PacketFilterTest, DisableWithoutRulesReleasesTrimmedTokenAndDeletesFiles) {
  storeToken("4242\n");
  writeFileAtomically(filter_.rulesFile(), "old rules\n", 0600);

  filter_.disable();

  EXPECT_EQ(tool_.calls, (Calls{kListing, {"-X", "4242"}}));
  EXPECT_FALSE(fs::exists(filter_.tokenFile()));
  EXPECT_FALSE(fs::exists(filter_.rulesFile()));
}

TEST_F(PacketFilterTest, DisableDeletesBothFilesEvenWhenReleaseFails) {
  storeToken("4242");
  writeFileAtomically(filter_.rulesFile(), "old rules\n", 0600);
  tool_.listing = listingFor({"192.0.2.1"});
  tool_.failing = {"-X"};

  filter_.disable();

  EXPECT_EQ(tool_.calls, (Calls{kListing, kFlush, {"-X", "4242"}}));
  EXPECT_FALSE(fs::exists(filter_.tokenFile()));
  EXPECT_FALSE(fs::exists(filter_.rulesFile()));
}

TEST_F(PacketFilterTest, DisableStopsWhenTheRulesCannotBeRemoved) {
  storeToken("4242");
  tool_.listing = listingFor({"192.0.2.1"});
  tool_.failing = {"-a"};

  EXPECT_THROW(filter_.disable(), TamrinError);
  EXPECT_EQ(tool_.calls, Calls{kListing});
  EXPECT_TRUE(fs::exists(filter_.tokenFile()));
}

TEST_F(PacketFilterTest, DisableWithNothingInPlaceOnlyLists) {
  filter_.disable();
  storeToken(" \n");
  filter_.disable();
  EXPECT_EQ(tool_.calls, (Calls{kListing, kListing}));
  EXPECT_FALSE(fs::exists(filter_.tokenFile()));
}

}  // namespace
}  // namespace tamrin
