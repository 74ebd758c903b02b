#include "pfctl/filter_references.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/file_io.h"
#include "pfctl/pfctl_error.h"

#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

// A filter switch in memory that records its calls and can be made to fail.
class FakeSwitch : public FilterSwitch {
 public:
  bool isEnabled() override { return enabled; }
  void switchOn() override {
    calls.push_back("on");
    if (failSwitchOn) throw PfctlError("nftables: Operation not permitted");
    enabled = true;
  }
  void switchOff() override {
    calls.push_back("off");
    enabled = false;
  }
  bool enabled = false;
  bool failSwitchOn = false;
  std::vector<std::string> calls;
};

class FilterReferencesTest : public testing::Test {
 protected:
  ScratchDirectory scratch_{"pf-tokens"};
  const fs::path dir_ = scratch_.path();

  FakeSwitch filter_;
};

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST_F(FilterReferencesTest, TakingARecordsANewTokenInAPrivateFileAndSwitchesOn) {
  TokenStore store(dir_ / "tamrin" / "pf-tokens");
  const std::string token = takeReference(store, filter_);
  EXPECT_FALSE(token.empty());
  EXPECT_EQ(token.find_first_not_of("0123456789"), std::string::npos) << token;
  EXPECT_EQ(filter_.calls, std::vector<std::string>{"on"});
  EXPECT_EQ(readFile(store.path()), token + "\n");
  EXPECT_EQ(modeOf(store.path()), 0600u);
  EXPECT_EQ(modeOf(dir_ / "tamrin"), 0755u);
}

TEST_F(FilterReferencesTest, TheFilterStaysOnUntilTheLastReferenceIsReleased) {
  TokenStore store(dir_ / "pf-tokens");
  const std::string first = takeReference(store, filter_);
  const std::string second = takeReference(store, filter_);
  EXPECT_NE(first, second);
  EXPECT_EQ(store.load(), (std::vector<std::string>{first, second}));

  releaseReference(store, filter_, first);
  EXPECT_TRUE(filter_.enabled);
  EXPECT_EQ(store.load(), std::vector<std::string>{second});

  releaseReference(store, filter_, second);
  EXPECT_FALSE(filter_.enabled);
  EXPECT_TRUE(store.load().empty());
  EXPECT_EQ(filter_.calls, (std::vector<std::string>{"on", "on", "off"}));
}

TEST_F(FilterReferencesTest, AnUnknownTokenIsRefusedAndChangesNothing) {
  TokenStore store(dir_ / "pf-tokens");
  const std::string token = takeReference(store, filter_);
  EXPECT_THROW(releaseReference(store, filter_, token + "0"), PfctlError);
  EXPECT_THROW(releaseReference(store, filter_, ""), PfctlError);
  EXPECT_TRUE(filter_.enabled);
  EXPECT_EQ(store.load(), std::vector<std::string>{token});
  EXPECT_EQ(filter_.calls, std::vector<std::string>{"on"});
}

TEST_F(FilterReferencesTest, AFilterFoundOffVoidsTheOlderReferences) {
  TokenStore store(dir_ / "pf-tokens");
  const std::string stale = takeReference(store, filter_);
  filter_.enabled = false;  // switched off by hand
  const std::string fresh = takeReference(store, filter_);
  EXPECT_EQ(store.load(), std::vector<std::string>{fresh});
  EXPECT_THROW(releaseReference(store, filter_, stale), PfctlError);
  releaseReference(store, filter_, fresh);
  EXPECT_FALSE(filter_.enabled);
}

TEST_F(FilterReferencesTest, AFailedSwitchLeavesTheStoreAsItWas) {
  TokenStore store(dir_ / "pf-tokens");
  const std::string held = takeReference(store, filter_);
  filter_.enabled = false;
  filter_.failSwitchOn = true;
  EXPECT_THROW(takeReference(store, filter_), PfctlError);
  EXPECT_EQ(store.load(), std::vector<std::string>{held});
}

TEST_F(FilterReferencesTest, ReadsTokensWrittenWithBlankLinesAndNoFinalLineFeed) {
  TokenStore store(dir_ / "pf-tokens");
  writeFileAtomically(store.path(), "11\n\n22", 0600);
  EXPECT_EQ(store.load(), (std::vector<std::string>{"11", "22"}));
  EXPECT_TRUE(TokenStore(dir_ / "missing").load().empty());
}

}  // namespace
}  // namespace tamrin
