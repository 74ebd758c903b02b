#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tamrin {

// Where the browsers read their managed policies. A browser's layer applies only where the
// browser is installed: its configuration root (or, for Firefox, a program directory) exists.
// An empty root of the Chromium family stands for a browser that is never there.
struct BrowserPolicyPaths {
  std::filesystem::path chromiumRoot;  // policies go to <root>/policies/managed/tamrin.json
  std::filesystem::path chromeRoot;    // the same layout
  std::filesystem::path firefoxRoot;   // policies go to <root>/policies/policies.json
  std::vector<std::filesystem::path> firefoxPrograms;
  std::filesystem::path snapChromiumRoot;  // the Chromium layout
  std::filesystem::path braveRoot;         // the Chromium layout

  // /etc/chromium, /etc/opt/chrome, /etc/firefox; /usr/lib/firefox-esr and /usr/lib/firefox;
  // /etc/chromium-browser (Snap's Chromium), /etc/brave.
  static BrowserPolicyPaths system();
  // The policy files Tamrin writes under these roots.
  std::vector<std::filesystem::path> policyFiles() const;
};

// The Chromium family's policy during a block: DNS-over-HTTPS, Encrypted Client Hello and the
// HTTPS-record lookups that bring its keys off, so every connection names its server in clear,
// and a URL blocklist with an exact (".") entry per blocked host name and a host-and-subdomains
// entry per suffix rule.
std::string chromiumPolicyText(const std::vector<std::string>& domains);
// Firefox's policies.json: DNS-over-HTTPS disabled and locked, and while `blocking` a website
// filter for the same names and the preferences of Encrypted Client Hello and HTTPS-record
// lookups off and locked. Marked as Tamrin's own by a top-level "tamrin" member.
std::string firefoxPolicyText(bool blocking, const std::vector<std::string>& domains);
// Whether a policies.json text is one that Tamrin wrote.
bool isTamrinFirefoxPolicy(const std::string& text);

// Writes the browsers' policy files for a block and removes them after it. The Chromium
// family's files (Chromium, Chrome, Snap's Chromium, Brave) exist only during blocks; Firefox's
// (read at its start only) exists while blocking is enabled, and is written only where no one
// else's policies.json is.
class BrowserPolicies {
 public:
  explicit BrowserPolicies(BrowserPolicyPaths paths) : paths_(std::move(paths)) {}

  // Adds each applicable browser's layer name to `inForce`, or the reason it is not in force
  // to `problems` (while blocking; outside blocks, a policy file left behind). Never throws.
  void reconcile(bool enabled, bool blocking, const std::vector<std::string>& domains,
                 std::vector<std::string>& inForce,
                 std::map<std::string, std::string>& problems) const;
  // Removes every policy file Tamrin wrote; throws the first failure after trying all.
  void removeAll() const;
  // Removes the temporaries that a writer killed in the middle of a write left beside each
  // policy file (removeStaleTemporaries). Call it only while no pass runs. Never throws.
  void removeStaleTemporaries() const;

 private:
  const BrowserPolicyPaths paths_;
};

}  // namespace tamrin
