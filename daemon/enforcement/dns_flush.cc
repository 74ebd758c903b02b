#include "daemon/enforcement/dns_flush.h"

#include <unistd.h>

#include <array>
#include <string_view>

#include "daemon/enforcement/system_command.h"

namespace tamrin {
namespace {

// The system's own program directories, searched in order; the daemon's PATH is not used.
constexpr std::array<std::string_view, 4> kProgramDirectories = {"/usr/sbin", "/usr/bin", "/sbin",
                                                                 "/bin"};

// The first executable `name` in the program directories, or the usual place when there is
// none (running it then fails with the launch error).
std::string systemProgram(std::string_view name, std::string_view usualDirectory) {
  for (std::string_view directory : kProgramDirectories) {
    const std::string candidate = std::string(directory) + "/" + std::string(name);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string(usualDirectory) + "/" + std::string(name);
}

}  // namespace

std::vector<DnsCacheFlush> systemDnsCaches() {
  return {
      {.probe = "/run/nscd/socket",
       .executable = systemProgram("nscd", "/usr/sbin"),
       .arguments = {"--invalidate=hosts"}},
      {.probe = "/run/systemd/resolve/io.systemd.Resolve",
       .executable = systemProgram("resolvectl", "/usr/bin"),
       .arguments = {"flush-caches"}},
  };
}

void flushDNSCache() {
  flushDNSCache(systemDnsCaches(),
                [](const std::string& executable, const std::vector<std::string>& arguments) {
                  return runSystemCommand(executable, arguments);
                });
}

void flushDNSCache(const std::vector<DnsCacheFlush>& caches, const SystemCommandRunner& run) {
  for (const DnsCacheFlush& cache : caches) {
    std::error_code error;
    if (!std::filesystem::exists(cache.probe, error)) continue;
    run(cache.executable, cache.arguments);
  }
}

}  // namespace tamrin
