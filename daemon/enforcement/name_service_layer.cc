#include "daemon/enforcement/name_service_layer.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <system_error>

#include "core/configuration.h"
#include "core/directories.h"
#include "core/file_io.h"
#include "core/nsswitch_hosts.h"
#include "core/regular_file.h"
#include "core/system_error.h"

namespace tamrin {
namespace {

// The directory of the C library this program runs with: where glibc looks for modules.
std::filesystem::path libraryDirectory() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&std::fopen), &info) != 0 && info.dli_fname != nullptr) {
    return std::filesystem::path(info.dli_fname).parent_path();
  }
  return "/usr/lib";
}

// Creates `directory` when missing, with mode 0755 whatever the umask: the module reads the
// list in every program, as every account.
void createReadableDirectory(const std::filesystem::path& directory) {
  if (createDirectories(directory, 0755).empty()) return;
  if (::chmod(directory.c_str(), 0755) != 0) throwErrno("create " + directory.string());
}

}  // namespace

NameServicePaths NameServicePaths::system() {
  return {.suffixList = "/run/tamrin/suffixes",
          .nsswitch = "/etc/nsswitch.conf",
          .module = libraryDirectory() / "libnss_tamrin.so.2"};
}

std::string suffixListText(const std::vector<std::string>& domains) {
  std::string text;
  std::set<std::string_view> seen;
  for (const std::string& domain : domains) {
    if (!isSuffixRule(domain)) continue;
    std::string_view suffix = ruleDomain(domain);
    if (suffix.ends_with('.')) suffix.remove_suffix(1);
    if (!seen.insert(suffix).second) continue;
    text.append(suffix);
    text.push_back('\n');
  }
  return text;
}

void NameServiceLayer::writeList(const std::string& text) const {
  try {
    if (readRegularFile(paths_.suffixList, kMaximumPolicyFileBytes).bytes == text) return;
  } catch (const std::system_error& error) {
    // A missing list already blocks nothing; an unreadable one is replaced below.
    if (text.empty() && error.code() == std::errc::no_such_file_or_directory) return;
  }
  createReadableDirectory(paths_.suffixList.parent_path());
  writeFileAtomically(paths_.suffixList, text, 0644);
}

void NameServiceLayer::remove() const { writeList(""); }

void NameServiceLayer::removeStaleTemporaries() const {
  tamrin::removeStaleTemporaries(paths_.suffixList);
}

void NameServiceLayer::reconcile(bool blocking, const std::vector<std::string>& domains,
                                 std::vector<std::string>& inForce,
                                 std::map<std::string, std::string>& problems) const {
  const std::string text = blocking ? suffixListText(domains) : "";
  std::string problem;
  try {
    writeList(text);
  } catch (const std::exception& error) {
    problem = std::string("the suffix list could not be written: ") + error.what();
  }
  if (text.empty()) {
    if (!problem.empty() && blocking) problems[kName] = problem;
    return;
  }
  // A block with suffix rules: the module must be there and asked first.
  if (problem.empty()) {
    struct stat info;
    if (::stat(paths_.module.c_str(), &info) != 0) {
      problem = "the name-service module " + paths_.module.string() + " is missing";
    }
  }
  if (problem.empty()) {
    try {
      editNsswitchFile(paths_.nsswitch, withTamrinFirstOnEveryHostsLine);
    } catch (const std::exception& error) {
      problem = std::string("tamrin cannot be put first on the hosts: line: ") + error.what();
    }
  }
  if (problem.empty()) {
    inForce.emplace_back(kName);
  } else {
    problems[kName] = problem;
  }
}

}  // namespace tamrin
