#include "daemon/enforcement/protection_layers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "core/file_io.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class ProtectionLayersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousMask = ::umask(0077);
    fs::create_directories(dir / "chromium");
    fs::create_directories(dir / "firefox");
    writeFileAtomically(nsswitch, "passwd: files\nhosts: files dns # local\n", 0644);
  }

  void TearDown() override { ::umask(previousMask); }

  LayerReport run(bool enabled, bool blocking, std::vector<std::string> domains) {
    return layers.reconcile({.enabled = enabled, .blocking = blocking, .domains = domains});
  }
  json readJson(const fs::path& path) { return json::parse(readFile(path)); }
  // The suffix list; a missing list blocks nothing, like an empty one.
  std::string listText() { return fs::exists(list) ? readFile(list) : "<missing>"; }

  mode_t previousMask = 0;
  ScratchDirectory scratch{"layers"};
  const fs::path dir = scratch.path();
  const fs::path list = dir / "run/suffixes";
  const fs::path nsswitch = dir / "nsswitch.conf";
  const fs::path module = dir / "libnss_tamrin.so.2";
  const fs::path chromiumFile = dir / "chromium/policies/managed/tamrin.json";
  const fs::path firefoxFile = dir / "firefox/policies/policies.json";
  const ProtectionLayers layers{
      NameServicePaths{.suffixList = list, .nsswitch = nsswitch, .module = module},
      BrowserPolicyPaths{.chromiumRoot = dir / "chromium",
                         .chromeRoot = dir / "chrome",
                         .firefoxRoot = dir / "firefox",
                         .firefoxPrograms = {},
                         .snapChromiumRoot = dir / "chromium-browser",
                         .braveRoot = dir / "brave"}};
  const std::vector<std::string> rules{"*.example.com", "plain.org", "*.example.com."};
};

TEST_F(ProtectionLayersTest, ABlockWithSuffixRulesAndAfterIt) {
  LayerReport report = run(true, true, rules);
  EXPECT_EQ(readFile(list), "example.com\n");
  EXPECT_EQ(report.problems.count("nameService"), 1u) << "the module is missing";
  writeFileAtomically(module, "", 0644);
  report = run(true, true, rules);
  EXPECT_EQ(report.inForce,
            (std::vector<std::string>{"nameService", "chromiumPolicy", "firefoxPolicy"}));
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(readFile(nsswitch), "passwd: files\nhosts: tamrin files dns # local\n");
  EXPECT_EQ(readJson(chromiumFile),
            json::parse(R"({"AdditionalDnsQueryTypesEnabled":false,"DnsOverHttpsMode":"off",
                "EncryptedClientHelloEnabled":false,
                "URLBlocklist":[".plain.org",".www.plain.org","example.com"]})"));
  EXPECT_EQ(readJson(firefoxFile)["policies"],
            json::parse(R"({"DNSOverHTTPS":{"Enabled":false,"Locked":true},
                "Preferences":{"network.dns.echconfig.enabled":{"Value":false,"Status":"locked"},
                   "network.dns.http3_echconfig.enabled":{"Value":false,"Status":"locked"},
                   "network.dns.native_https_query":{"Value":false,"Status":"locked"}},
                "WebsiteFilter":{"Block":["*://plain.org/*","*://www.plain.org/*",
                                          "*://example.com/*","*://*.example.com/*"]}})"));
  EXPECT_EQ((fs::status(chromiumFile).permissions() & fs::perms::all), fs::perms(0644));
  // Made under the daemon's umask 0077, yet readable by the browsers' users.
  for (const fs::path& made : {chromiumFile.parent_path(), firefoxFile.parent_path()}) {
    EXPECT_EQ((fs::status(made).permissions() & fs::perms::all), fs::perms(0755)) << made;
  }

  // Edited during the block: put back.
  writeFileAtomically(nsswitch, "hosts: files tamrin dns\n", 0644);
  EXPECT_TRUE(run(true, true, rules).problems.empty());
  EXPECT_EQ(readFile(nsswitch), "hosts: tamrin files dns\n");
  // A second hosts: line (glibc takes the last) gets tamrin first too; nothing else changes.
  writeFileAtomically(nsswitch, "hosts: tamrin files dns\nnetworks: files\nhosts: dns\n", 0644);
  EXPECT_TRUE(run(true, true, rules).problems.empty());
  EXPECT_EQ(readFile(nsswitch), "hosts: tamrin files dns\nnetworks: files\nhosts: tamrin dns\n");
  writeFileAtomically(nsswitch, "hosts: tamrin files dns\n", 0644);

  // After the block: list empty, Chromium's file gone, Firefox keeps DNS-over-HTTPS off.
  report = run(true, false, rules);
  EXPECT_TRUE(report.inForce.empty());
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(readFile(list), "");
  EXPECT_FALSE(fs::exists(chromiumFile));
  EXPECT_FALSE(readJson(firefoxFile)["policies"].contains("WebsiteFilter"));
  EXPECT_EQ(readFile(nsswitch), "hosts: tamrin files dns\n") << "outside blocks: not rewritten";

  // Blocking disabled: Firefox's file goes too.
  run(false, false, {});
  EXPECT_FALSE(fs::exists(firefoxFile));
}

TEST_F(ProtectionLayersTest, PlainDomainsLeaveTheNameServiceAlone) {
  const LayerReport report = run(true, true, {"plain.org"});
  EXPECT_EQ(listText(), "<missing>") << "no list is written while none was there";
  EXPECT_EQ(report.inForce, (std::vector<std::string>{"chromiumPolicy", "firefoxPolicy"}));
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(readFile(nsswitch), "passwd: files\nhosts: files dns # local\n");
}

TEST_F(ProtectionLayersTest, OthersFilesAndBlockedDirectoriesAreReportedNotTouched) {
  const std::string theirs = R"({"policies":{"DisableTelemetry":true}})";
  fs::create_directories(firefoxFile.parent_path());
  writeFileAtomically(firefoxFile, theirs, 0644);
  fs::create_directories(dir / "chromium/policies");
  writeFileAtomically(dir / "chromium/policies/managed", "a file", 0644);
  writeFileAtomically(nsswitch, "passwd: files\n", 0644);
  writeFileAtomically(module, "", 0644);

  LayerReport report = run(true, true, rules);
  EXPECT_EQ(report.problems.size(), 3u);
  EXPECT_NE(report.problems["firefoxPolicy"].find("someone else"), std::string::npos);
  EXPECT_NE(report.problems["nameService"].find("no hosts: line"), std::string::npos);
  EXPECT_TRUE(report.problems.contains("chromiumPolicy"));
  EXPECT_EQ(readFile(firefoxFile), theirs);
  EXPECT_EQ(readFile(dir / "chromium/policies/managed"), "a file");
  EXPECT_EQ(readFile(nsswitch), "passwd: files\n");

  report = run(true, false, rules);
  EXPECT_TRUE(report.problems.empty()) << "outside blocks nothing is demanded";
  layers.removeAll();
  EXPECT_EQ(readFile(firefoxFile), theirs);
}

TEST_F(ProtectionLayersTest, RemoveAllTakesAwayWhatTamrinWrote) {
  writeFileAtomically(module, "", 0644);
  run(true, true, rules);
  layers.removeAll();
  EXPECT_EQ(readFile(list), "");
  EXPECT_FALSE(fs::exists(chromiumFile));
  EXPECT_FALSE(fs::exists(firefoxFile));
  EXPECT_EQ(suffixListText({"a.org", "*.b.org", "*.c.org.", "*.b.org"}), "b.org\nc.org\n");
}

TEST_F(ProtectionLayersTest, RemoveAllRemovesTheRestWhenOneLayerFailsAndThrowsThatFailure) {
  writeFileAtomically(module, "", 0644);
  run(true, true, rules);
  fs::remove(list);
  fs::create_directory(list);  // the empty list cannot replace a directory
  EXPECT_THROW(layers.removeAll(), std::system_error);
  EXPECT_FALSE(fs::exists(chromiumFile));
  EXPECT_FALSE(fs::exists(firefoxFile));
}

TEST_F(ProtectionLayersTest, FilesThatAreNotWhatTheySeemAreNeverOpened) {
  writeFileAtomically(module, "", 0644);
  fs::create_directories(firefoxFile.parent_path());
  ASSERT_EQ(::mkfifo(firefoxFile.c_str(), 0644), 0);
  fs::create_directories(list.parent_path());
  ASSERT_EQ(::mkfifo(list.c_str(), 0666), 0);
  LayerReport report = run(true, true, rules);
  EXPECT_NE(report.problems["firefoxPolicy"].find("someone else"), std::string::npos);
  EXPECT_TRUE(fs::is_fifo(firefoxFile)) << "an unreadable policies.json is left alone";
  EXPECT_EQ(readFile(list), "example.com\n") << "a FIFO list is replaced";
  EXPECT_EQ((fs::status(list).permissions() & fs::perms::all), fs::perms(0644));
  run(true, false, rules);
  layers.removeAll();
  EXPECT_TRUE(fs::is_fifo(firefoxFile));
}

TEST_F(ProtectionLayersTest, ListDirectoryMadeReadableAndAFailedClearOutsideABlockIsNoProblem) {
  writeFileAtomically(module, "", 0644);
  EXPECT_TRUE(run(true, true, rules).problems.empty());
  EXPECT_EQ((fs::status(list.parent_path()).permissions() & fs::perms::all), fs::perms(0755))
      << "made under umask 0077";
  fs::remove_all(list.parent_path());
  writeFileAtomically(list.parent_path(), "a file where the directory belongs", 0644);
  EXPECT_FALSE(run(true, false, rules).problems.contains("nameService"));
  EXPECT_TRUE(run(true, true, rules).problems.contains("nameService"));
}

TEST_F(ProtectionLayersTest, StaleTemporariesOfEveryLayerGoAndNothingElse) {
  const std::vector<fs::path> stale = {
      chromiumFile.parent_path() / ".tamrin.json.tmp-k1ll3d00",
      dir / "chrome/policies/managed/.tamrin.json.tmp-0a1b2c3d",
      firefoxFile.parent_path() / ".policies.json.tmp-zzzzzzzz",
      list.parent_path() / ".suffixes.tmp-k1ll3d00",
  };
  const std::vector<fs::path> kept = {
      chromiumFile, chromiumFile.parent_path() / ".tamrin.json.tmp-keep",
      dir / "chrome/policies/managed/.other.json.tmp-0a1b2c3d", list};
  for (const auto& files : {stale, kept}) {
    for (const fs::path& file : files) {
      fs::create_directories(file.parent_path());
      writeFileAtomically(file, "x", 0644);
    }
  }
  layers.removeStaleTemporaries();
  for (const fs::path& file : stale) EXPECT_FALSE(fs::exists(file)) << file;
  for (const fs::path& file : kept) EXPECT_TRUE(fs::exists(file)) << file;
}

}  // namespace
}  // namespace tamrin
