#include "daemon/ipc/seal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "core/ipc_socket.h"
#include "daemon/ipc/file_digest.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRequirementPrefix = "sha256 in { ";
constexpr std::string_view kRequirementSuffix = " }";
constexpr std::string_view kSealLinePrefix = "sha256 ";
constexpr std::size_t kDigestLength = 64;

bool isDigest(std::string_view text) {
  if (text.size() != kDigestLength) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The nearest directory at or above `directory` whose name has the extension "app" (exactly,
// case-sensitive); absent when the walk reaches "/" without one.
std::optional<fs::path> nearestAppDirectory(fs::path directory) {
  while (directory.extension() != ".app") {
    if (directory == directory.root_path() || !directory.has_relative_path()) return std::nullopt;
    directory = directory.parent_path();
  }
  return directory;
}

// The whole seal; a missing seal is "unsigned", an unreadable one "invalid".
std::string readSeal(const fs::path& bundle) {
  const fs::path path = bundle / kSealPath;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    const int error = errno;
    throw DaemonStartupError::codeSigning(
        error == ENOENT || error == ENOTDIR ? kSealMissingStatus : kSealMalformedStatus);
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw DaemonStartupError::codeSigning(kSealMalformedStatus);
    if (count == 0) return text;
    text.append(buffer, static_cast<std::size_t>(count));
  }
}

struct SealEntry {
  std::string digest;
  fs::path path;
};

// One entry per line, "sha256 <digest> <relative path>". A seal without entries, a path that is
// absolute, climbs out with "..", or appears twice, is malformed.
std::vector<SealEntry> parseSeal(std::string_view text) {
  std::vector<SealEntry> entries;
  std::set<fs::path> seen;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    if (!line.starts_with(kSealLinePrefix))
      throw DaemonStartupError::codeSigning(kSealMalformedStatus);
    line.remove_prefix(kSealLinePrefix.size());
    const std::string_view digest = line.substr(0, std::min(kDigestLength, line.size()));
    line.remove_prefix(digest.size());
    if (!isDigest(digest) || !line.starts_with(' ') || line.size() < 2 ||
        line.find('\0') != std::string_view::npos) {
      throw DaemonStartupError::codeSigning(kSealMalformedStatus);
    }
    fs::path path(line.substr(1));
    bool escapes = path.is_absolute();
    for (const fs::path& part : path) escapes = escapes || part == "..";
    if (escapes || !seen.insert(path.lexically_normal()).second) {
      throw DaemonStartupError::codeSigning(kSealMalformedStatus);
    }
    entries.push_back({std::string(digest), std::move(path)});
  }
  if (entries.empty()) throw DaemonStartupError::codeSigning(kSealMalformedStatus);
  return entries;
}

}  // namespace

DaemonStartupError::DaemonStartupError(Kind kind, std::int32_t status, std::string message)
    : kind_(kind), status_(status), message_(std::move(message)) {}

DaemonStartupError DaemonStartupError::codeSigning(std::int32_t status) {
  return DaemonStartupError(Kind::codeSigning, status,
                            "Tamrin could not establish its client requirement (Security error " +
                                std::to_string(status) + ").");
}

DaemonStartupError DaemonStartupError::appBundleNotFound() {
  return DaemonStartupError(Kind::appBundleNotFound, 0,
                            "Tamrin could not locate its application bundle.");
}

std::string clientCodeSigningRequirement() { return sealedClients().requirement; }

std::string clientCodeSigningRequirement(const fs::path& executablePath) {
  return sealedClients(executablePath).requirement;
}

SealedClients sealedClients() {
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (error || executable.empty()) throw DaemonStartupError::appBundleNotFound();
  return sealedClients(executable);
}

std::optional<std::string> sealedDigest(const fs::path& bundle, const fs::path& relative) {
  for (const SealEntry& entry : parseSeal(readSeal(bundle))) {
    if (entry.path.lexically_normal() == relative.lexically_normal()) return entry.digest;
  }
  return std::nullopt;
}

SealedClients sealedClients(const fs::path& executablePath) {
  std::error_code error;
  const fs::path absolute = fs::absolute(executablePath, error);
  if (error) throw DaemonStartupError::appBundleNotFound();
  fs::path start = absolute.lexically_normal();
  if (!start.has_filename()) start = start.parent_path();  // a trailing separator
  const std::optional<fs::path> bundle = nearestAppDirectory(start.parent_path());
  if (!bundle) throw DaemonStartupError::appBundleNotFound();

  std::set<std::string> digests;
  SealedClients sealed;
  for (const SealEntry& entry : parseSeal(readSeal(*bundle))) {
    const fs::path path = *bundle / entry.path;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
      throw DaemonStartupError::codeSigning(kSealedFileChangedStatus);
    }
    std::string actual;
    try {
      actual = sha256OfDescriptor(fd.get());
    } catch (const std::system_error&) {
      throw DaemonStartupError::codeSigning(kSealedFileChangedStatus);
    }
    if (actual != entry.digest) throw DaemonStartupError::codeSigning(kSealedFileChangedStatus);
    digests.insert(entry.digest);
    sealed.sizes.insert(static_cast<std::uint64_t>(info.st_size));
  }

  sealed.requirement = kRequirementPrefix;
  for (const std::string& digest : digests) {
    if (sealed.requirement.size() > kRequirementPrefix.size()) sealed.requirement += ", ";
    sealed.requirement += digest;
  }
  sealed.requirement += kRequirementSuffix;
  return sealed;
}

std::set<std::string> requirementDigests(std::string_view requirement) {
  if (!requirement.starts_with(kRequirementPrefix) || !requirement.ends_with(kRequirementSuffix) ||
      requirement.size() < kRequirementPrefix.size() + kRequirementSuffix.size()) {
    throw std::invalid_argument("not a client requirement: " + std::string(requirement));
  }
  std::string_view list =
      requirement.substr(kRequirementPrefix.size(), requirement.size() - kRequirementPrefix.size() -
                                                        kRequirementSuffix.size());
  std::set<std::string> digests;
  for (;;) {
    const std::size_t comma = list.find(", ");
    const std::string_view digest = list.substr(0, comma);
    if (!isDigest(digest)) {
      throw std::invalid_argument("not a client requirement: " + std::string(requirement));
    }
    digests.emplace(digest);
    if (comma == std::string_view::npos) return digests;
    list.remove_prefix(comma + 2);
  }
}

}  // namespace tamrin
