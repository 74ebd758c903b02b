#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tamrin {

// Why the daemon cannot establish which clients to admit. what() is the exact message.
class DaemonStartupError : public std::exception {
 public:
  enum class Kind { codeSigning, appBundleNotFound };

  static DaemonStartupError codeSigning(std::int32_t status);
  static DaemonStartupError appBundleNotFound();

  Kind kind() const { return kind_; }
  // The status of a codeSigning failure; 0 for appBundleNotFound.
  std::int32_t status() const { return status_; }
  const std::string& errorDescription() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  DaemonStartupError(Kind kind, std::int32_t status, std::string message);

  Kind kind_;
  std::int32_t status_;
  std::string message_;
};

// Statuses of a failed seal check, named after the code-signing errors they stand for.
inline constexpr std::int32_t kSealMissingStatus = -67062;        // unsigned
inline constexpr std::int32_t kSealMalformedStatus = -67061;      // invalid signature
inline constexpr std::int32_t kSealedFileChangedStatus = -67054;  // modified resource

// The seal of a bundle directory, relative to it.
inline constexpr std::string_view kSealPath = "_CodeSignature/CodeResources";

// The requirement text for admitted clients, `sha256 in { <digest>, ... }` (sorted, no
// repeats), from the seal of the nearest directory named "*.app" above the running executable,
// after checking that every sealed file still has its digest. Throws DaemonStartupError.
std::string clientCodeSigningRequirement();
// The same, starting from `executablePath` instead of the running executable.
std::string clientCodeSigningRequirement(const std::filesystem::path& executablePath);

// The requirement text and the sizes in bytes of the files it admits, as they were checked.
struct SealedClients {
  std::string requirement;
  std::set<std::uint64_t> sizes;
};
// clientCodeSigningRequirement() with the sizes of the sealed files.
SealedClients sealedClients();
SealedClients sealedClients(const std::filesystem::path& executablePath);

// The digest that the seal of `bundle` lists for `relative` (a path inside it); absent when the
// seal lists no such file. Throws DaemonStartupError for a missing or malformed seal.
std::optional<std::string> sealedDigest(const std::filesystem::path& bundle,
                                        const std::filesystem::path& relative);

// The digests of a requirement text of exactly the form above. Throws std::invalid_argument
// for any other text, including one without digests.
std::set<std::string> requirementDigests(std::string_view requirement);

}  // namespace tamrin
