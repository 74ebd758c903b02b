#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tamrin {

// One DNS cache: it runs while `probe` exists, and `executable` with `arguments` empties it.
struct DnsCacheFlush {
  std::filesystem::path probe;
  std::string executable;
  std::vector<std::string> arguments;
};

// Runs a command and returns its output; throws on failure (as runSystemCommand does).
using SystemCommandRunner =
    std::function<std::string(const std::string& executable, const std::vector<std::string>&)>;

// The caches of this system in flush order: nscd's host cache, then systemd-resolved's.
std::vector<DnsCacheFlush> systemDnsCaches();

// Empties the system's DNS caches: flushDNSCache(systemDnsCaches(), runSystemCommand).
void flushDNSCache();

// Flushes every cache of `caches` that runs, in order, with `run`; a cache whose probe is
// missing is skipped. The first failure is passed up and the later caches are left alone.
void flushDNSCache(const std::vector<DnsCacheFlush>& caches, const SystemCommandRunner& run);

}  // namespace tamrin
