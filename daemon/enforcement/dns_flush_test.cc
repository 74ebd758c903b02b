#include "daemon/enforcement/dns_flush.h"

#include <stdlib.h>

#include <gtest/gtest.h>
#include <fstream>
#include <utility>

#include "core/tamrin_error.h"

#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using CommandRun = std::pair<std::string, std::vector<std::string>>;

class DnsFlushTest : public testing::Test {
 protected:
  ScratchDirectory scratch_{"dns-flush"};
  const fs::path dir_ = scratch_.path();

  // The system's caches with their probes moved into the scratch directory; a cache runs
  // when its probe file is created.
  std::vector<DnsCacheFlush> caches(bool nscdRuns, bool resolvedRuns) const {
    std::vector<DnsCacheFlush> caches = systemDnsCaches();
    caches.at(0).probe = dir_ / "nscd-socket";
    caches.at(1).probe = dir_ / "io.systemd.Resolve";
    if (nscdRuns) std::ofstream(caches[0].probe) << "";
    if (resolvedRuns) std::ofstream(caches[1].probe) << "";
    return caches;
  }

  // Records each run by program name and arguments; the run of `failing` throws.
  SystemCommandRunner recorder(std::string failing = "") {
    return
        [this, failing](const std::string& executable, const std::vector<std::string>& arguments) {
          const std::string program = fs::path(executable).filename();
          EXPECT_TRUE(fs::path(executable).is_absolute()) << executable;
          runs_.emplace_back(program, arguments);
          if (program == failing) throw TamrinError::packetFilter(executable + " exited 1");
          return std::string("ignored output");
        };
  }

  std::vector<CommandRun> runs_;
};

TEST_F(DnsFlushTest, FlushesTheRunningCachesInOrderAndStopsAtTheFirstFailure) {
  const CommandRun nscd = {"nscd", {"--invalidate=hosts"}};
  const CommandRun resolved = {"resolvectl", {"flush-caches"}};
  struct Case {
    const char* name;
    bool nscdRuns;
    bool resolvedRuns;
    std::string failing;
    std::vector<CommandRun> runs;
  };
  const Case cases[] = {
      {"no cache runs", false, false, "", {}},
      {"only nscd", true, false, "", {nscd}},
      {"only systemd-resolved", false, true, "", {resolved}},
      {"both", true, true, "", {nscd, resolved}},
      {"nscd fails", true, true, "nscd", {nscd}},
      {"systemd-resolved fails", true, true, "resolvectl", {nscd, resolved}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    runs_.clear();
    bool failed = false;
    try {
      flushDNSCache(caches(c.nscdRuns, c.resolvedRuns), recorder(c.failing));
    } catch (const TamrinError& error) {
      failed = true;
      EXPECT_TRUE(std::string(error.what()).ends_with("/" + c.failing + " exited 1"))
          << error.what();
    }
    EXPECT_EQ(failed, !c.failing.empty());
    EXPECT_EQ(runs_, c.runs);
  }
}

}  // namespace
}  // namespace tamrin
