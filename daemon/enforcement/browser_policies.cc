#include "daemon/enforcement/browser_policies.h"

#include <nlohmann/json.hpp>
#include <set>
#include <system_error>

#include "core/blocked_hostnames.h"
#include "core/configuration.h"
#include "core/file_io.h"
#include "core/first_failure.h"
#include "core/regular_file.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFirefoxLayer = "firefoxPolicy";

// A browser of the Chromium family: where it reads its policies, and its layer's name.
struct ChromiumTarget {
  fs::path root;
  const char* layer;
};

// The Chromium family's roots that are set, in the order their layers are reported.
std::vector<ChromiumTarget> chromiumTargets(const BrowserPolicyPaths& paths) {
  std::vector<ChromiumTarget> targets;
  for (ChromiumTarget target : {ChromiumTarget{paths.chromiumRoot, "chromiumPolicy"},
                                ChromiumTarget{paths.chromeRoot, "chromePolicy"},
                                ChromiumTarget{paths.snapChromiumRoot, "snapChromiumPolicy"},
                                ChromiumTarget{paths.braveRoot, "bravePolicy"}}) {
    if (!target.root.empty()) targets.push_back(std::move(target));
  }
  return targets;
}

std::string withoutTrailingDot(std::string_view name) {
  if (name.ends_with('.')) name.remove_suffix(1);
  return std::string(name);
}

// The hosts blocked exactly, and the domains blocked with every name under them.
struct BlockedNames {
  std::vector<std::string> exact;
  std::vector<std::string> suffixes;
};

BlockedNames blockedNames(const std::vector<std::string>& domains) {
  BlockedNames names;
  std::set<std::string> seen;
  for (const std::string& domain : domains) {
    if (isSuffixRule(domain)) {
      const std::string suffix = withoutTrailingDot(ruleDomain(domain));
      if (seen.insert("*." + suffix).second) names.suffixes.push_back(suffix);
      continue;
    }
    for (const std::string& host : blockedHostnames({domain})) {
      const std::string name = withoutTrailingDot(host);
      if (seen.insert(name).second) names.exact.push_back(name);
    }
  }
  return names;
}

fs::path chromiumFile(const fs::path& root) { return root / "policies/managed/tamrin.json"; }
fs::path firefoxFile(const fs::path& root) { return root / "policies/policies.json"; }

// The file's text when it is a regular file: a FIFO or a device is never opened for reading.
std::string readPolicyFile(const fs::path& file) {
  return readRegularFile(file, kMaximumPolicyFileBytes).bytes;
}

bool isThere(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

// Creates the missing directories of `directory` with mode 0755 whatever the umask (the
// daemon's is 0077, and the browsers read the files as their users); existing ones stay as
// they are.
void createReadableDirectories(const fs::path& directory) {
  if (directory.empty() || isThere(directory)) return;
  createReadableDirectories(directory.parent_path());
  fs::create_directory(directory);
  fs::permissions(directory, fs::perms(0755));
}

// Writes `text` to `file` when it differs, creating the directories below `root`.
void writePolicy(const fs::path& file, const std::string& text) {
  try {
    if (readPolicyFile(file) == text) return;
  } catch (const std::system_error&) {
  }
  createReadableDirectories(file.parent_path());
  writeFileAtomically(file, text, 0644);
}

void removeFile(const fs::path& file) {
  std::error_code error;
  fs::remove(file, error);
  if (error) throw std::system_error(error, "remove " + file.string());
}

std::string describe(const std::exception& error) { return error.what(); }

}  // namespace

BrowserPolicyPaths BrowserPolicyPaths::system() {
  return {.chromiumRoot = "/etc/chromium",
          .chromeRoot = "/etc/opt/chrome",
          .firefoxRoot = "/etc/firefox",
          .firefoxPrograms = {"/usr/lib/firefox-esr", "/usr/lib/firefox"},
          .snapChromiumRoot = "/etc/chromium-browser",
          .braveRoot = "/etc/brave"};
}

std::string chromiumPolicyText(const std::vector<std::string>& domains) {
  const BlockedNames names = blockedNames(domains);
  nlohmann::json blocklist = nlohmann::json::array();
  for (const std::string& name : names.exact) blocklist.push_back("." + name);
  for (const std::string& suffix : names.suffixes) blocklist.push_back(suffix);
  return nlohmann::json{{"AdditionalDnsQueryTypesEnabled", false},
                        {"DnsOverHttpsMode", "off"},
                        {"EncryptedClientHelloEnabled", false},
                        {"URLBlocklist", blocklist}}
             .dump(2) +
         "\n";
}

std::string firefoxPolicyText(bool blocking, const std::vector<std::string>& domains) {
  nlohmann::json policies = {{"DNSOverHTTPS", {{"Enabled", false}, {"Locked", true}}}};
  if (blocking) {
    const BlockedNames names = blockedNames(domains);
    nlohmann::json block = nlohmann::json::array();
    for (const std::string& name : names.exact) block.push_back("*://" + name + "/*");
    for (const std::string& suffix : names.suffixes) {
      block.push_back("*://" + suffix + "/*");
      block.push_back("*://*." + suffix + "/*");
    }
    policies["WebsiteFilter"] = {{"Block", block}};
    const nlohmann::json off = {{"Value", false}, {"Status", "locked"}};
    policies["Preferences"] = {{"network.dns.echconfig.enabled", off},
                               {"network.dns.http3_echconfig.enabled", off},
                               {"network.dns.native_https_query", off}};
  }
  return nlohmann::json{{"policies", policies},
                        {"tamrin", "Written by Tamrin; removed when Tamrin is removed."}}
             .dump(2) +
         "\n";
}

bool isTamrinFirefoxPolicy(const std::string& text) {
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  return json.is_object() && json.contains("tamrin");
}

void BrowserPolicies::reconcile(bool enabled, bool blocking,
                                const std::vector<std::string>& domains,
                                std::vector<std::string>& inForce,
                                std::map<std::string, std::string>& problems) const {
  for (const auto& [root, layer] : chromiumTargets(paths_)) {
    if (!isThere(root)) continue;
    const fs::path file = chromiumFile(root);
    try {
      if (blocking) {
        writePolicy(file, chromiumPolicyText(domains));
        inForce.emplace_back(layer);
      } else if (isThere(file)) {
        removeFile(file);
      }
    } catch (const std::exception& error) {
      problems[layer] = describe(error);
    }
  }

  bool firefox = isThere(paths_.firefoxRoot);
  for (const fs::path& program : paths_.firefoxPrograms) firefox = firefox || isThere(program);
  if (!firefox) return;
  const fs::path file = firefoxFile(paths_.firefoxRoot);
  try {
    bool ours = true;
    try {
      ours = isTamrinFirefoxPolicy(readPolicyFile(file));
    } catch (const std::system_error&) {
      ours = !isThere(file);  // missing: ours to write; unreadable: not to be touched
    }
    if (!ours) {
      if (blocking) {
        problems[kFirefoxLayer] =
            file.string() + " was written by someone else; Tamrin leaves it alone";
      }
    } else if (enabled) {
      writePolicy(file, firefoxPolicyText(blocking, domains));
      if (blocking) inForce.emplace_back(kFirefoxLayer);
    } else if (isThere(file)) {
      removeFile(file);
    }
  } catch (const std::exception& error) {
    if (blocking || !enabled) problems[kFirefoxLayer] = describe(error);
  }
}

void BrowserPolicies::removeAll() const {
  FirstFailure failures;
  for (const ChromiumTarget& target : chromiumTargets(paths_)) {
    failures.attempt([&] {
      if (isThere(chromiumFile(target.root))) removeFile(chromiumFile(target.root));
    });
  }
  failures.attempt([&] {
    const fs::path file = firefoxFile(paths_.firefoxRoot);
    if (!isThere(file)) return;
    try {
      if (!isTamrinFirefoxPolicy(readPolicyFile(file))) return;
    } catch (const std::system_error&) {
      return;  // unreadable, or not a regular file: not known to be ours
    }
    removeFile(file);
  });
  failures.rethrow();
}

void BrowserPolicies::removeStaleTemporaries() const {
  for (const fs::path& file : paths_.policyFiles()) tamrin::removeStaleTemporaries(file);
}

std::vector<fs::path> BrowserPolicyPaths::policyFiles() const {
  std::vector<fs::path> files;
  for (const ChromiumTarget& target : chromiumTargets(*this)) {
    files.push_back(chromiumFile(target.root));
  }
  files.push_back(firefoxFile(firefoxRoot));
  return files;
}

}  // namespace tamrin
