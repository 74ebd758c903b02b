#include "daemon/enforcement/browser_policies.h"

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "core/file_io.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::vector<std::string> kRules{"plain.org", "*.example.com"};

TEST(BrowserPolicyTextTest, ServerNamesStayInClearDuringBlocksOnly) {
  EXPECT_EQ(chromiumPolicyText(kRules), R"({
  "AdditionalDnsQueryTypesEnabled": false,
  "DnsOverHttpsMode": "off",
  "EncryptedClientHelloEnabled": false,
  "URLBlocklist": [
    ".plain.org",
    ".www.plain.org",
    "example.com"
  ]
}
)");
  const json locked = {{"Value", false}, {"Status", "locked"}};
  EXPECT_EQ(json::parse(firefoxPolicyText(true, kRules))["policies"]["Preferences"],
            (json{{"network.dns.echconfig.enabled", locked},
                  {"network.dns.http3_echconfig.enabled", locked},
                  {"network.dns.native_https_query", locked}}));
  EXPECT_EQ(json::parse(firefoxPolicyText(false, kRules))["policies"],
            json::parse(R"({"DNSOverHTTPS":{"Enabled":false,"Locked":true}})"));
}

// Every browser of the Chromium family gets the same file under its own layer where its root
// exists, loses it when the block ends and on removal, and no root is ever created.
TEST(BrowserPoliciesTest, EachChromiumFamilyTargetWhereItsRootExists) {
  const std::vector<std::pair<std::string, std::string>> targets = {
      {"chromium", "chromiumPolicy"},
      {"chrome", "chromePolicy"},
      {"chromium-browser", "snapChromiumPolicy"},
      {"brave", "bravePolicy"}};
  const struct {
    const char* name;
    std::set<std::string> present;
  } cases[] = {
      {"none", {}},
      {"chromium", {"chromium"}},
      {"snap", {"chromium-browser"}},
      {"brave", {"brave"}},
      {"chromeAndBrave", {"chrome", "brave"}},
      {"all", {"chromium", "chrome", "chromium-browser", "brave"}},
  };
  ScratchDirectory scratch{"browsers"};
  for (const auto& row : cases) {
    const fs::path dir = scratch.path() / row.name;
    const BrowserPolicies policies{BrowserPolicyPaths{.chromiumRoot = dir / "chromium",
                                                      .chromeRoot = dir / "chrome",
                                                      .firefoxRoot = dir / "firefox",
                                                      .firefoxPrograms = {},
                                                      .snapChromiumRoot = dir / "chromium-browser",
                                                      .braveRoot = dir / "brave"}};
    for (const std::string& root : row.present) fs::create_directories(dir / root);
    fs::create_directories(dir / "firefox");
    const auto reconcile = [&](bool blocking) {
      std::vector<std::string> inForce;
      std::map<std::string, std::string> problems;
      policies.reconcile(true, blocking, kRules, inForce, problems);
      EXPECT_TRUE(problems.empty()) << row.name;
      return inForce;
    };
    const auto file = [&](const std::string& root) {
      return dir / root / "policies/managed/tamrin.json";
    };
    const auto firefoxPreferences = [&] {
      return json::parse(readFile(dir / "firefox/policies/policies.json"))["policies"].contains(
          "Preferences");
    };

    std::vector<std::string> expected;
    for (const auto& [root, layer] : targets) {
      if (row.present.contains(root)) expected.push_back(layer);
    }
    expected.emplace_back("firefoxPolicy");
    EXPECT_EQ(reconcile(true), expected) << row.name;
    for (const auto& [root, layer] : targets) {
      if (row.present.contains(root)) {
        EXPECT_EQ(readFile(file(root)), chromiumPolicyText(kRules)) << row.name << " " << root;
      } else {
        EXPECT_FALSE(fs::exists(dir / root)) << row.name << " " << root;
      }
    }
    EXPECT_TRUE(firefoxPreferences()) << row.name;

    EXPECT_EQ(reconcile(false), std::vector<std::string>{}) << row.name;
    for (const auto& [root, layer] : targets) EXPECT_FALSE(fs::exists(file(root))) << row.name;
    EXPECT_FALSE(firefoxPreferences()) << row.name;

    reconcile(true);
    policies.removeAll();
    for (const auto& [root, layer] : targets) EXPECT_FALSE(fs::exists(file(root))) << row.name;
  }
}

TEST(BrowserPoliciesTest, NewTargetsAreWatchedAndTheirStaleTemporariesGo) {
  ScratchDirectory scratch{"browsers"};
  const fs::path dir = scratch.path();
  const BrowserPolicyPaths paths{.chromiumRoot = dir / "chromium",
                                 .chromeRoot = {},
                                 .firefoxRoot = dir / "firefox",
                                 .firefoxPrograms = {},
                                 .snapChromiumRoot = dir / "snap",
                                 .braveRoot = dir / "brave"};
  EXPECT_EQ(
      paths.policyFiles(),
      (std::vector<fs::path>{
          dir / "chromium/policies/managed/tamrin.json", dir / "snap/policies/managed/tamrin.json",
          dir / "brave/policies/managed/tamrin.json", dir / "firefox/policies/policies.json"}))
      << "an empty root has no file";
  const fs::path stale = dir / "brave/policies/managed/.tamrin.json.tmp-k1ll3d00";
  fs::create_directories(stale.parent_path());
  writeFileAtomically(stale, "x", 0644);
  BrowserPolicies(paths).removeStaleTemporaries();
  EXPECT_FALSE(fs::exists(stale));
}

}  // namespace
}  // namespace tamrin
