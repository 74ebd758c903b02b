// TamrinDaemon: "self-test" runs the built-in check; anything else serves the daemon's socket.
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/file_io.h"
#include "core/hosts_file.h"
#include "daemon/enforcement/dns_flush.h"
#include "daemon/enforcement/packet_filter.h"
#include "daemon/enforcement/sealed_executable.h"
#include "daemon/enforcement/system_command.h"
#include "daemon/enforcement/wire_flow_judge.h"
#include "daemon/enforcement/wire_names_layer.h"
#include "daemon/events/clock_change_watch.h"
#include "daemon/events/protection_watcher.h"
#include "daemon/ipc/listener.h"
#include "daemon/ipc/seal.h"
#include "daemon/resolve/direct_resolver.h"
#include "daemon/resolve/system_resolver.h"
#include "daemon/service/daemon_environment.h"
#include "daemon/service/daemon_lock.h"
#include "daemon/service/daemon_service.h"
#include "daemon/service/run_directory.h"
#include "daemon/service/selftest.h"
#include "daemon/service/watchdog.h"

namespace {

constexpr const char* kDefaultPolicyPath = "/var/lib/tamrin/policy.json";
constexpr const char* kHostsPath = "/etc/hosts";
constexpr const char* kBlockRecordPath = "/run/tamrin/block-record";
// Written by configuration management; while it exists it alone sets the schedule.
constexpr const char* kManagedConfigurationPath = "/etc/tamrin/configuration.json";

int fail(const std::exception& error) {
  const std::string line = std::string("error: ") + error.what() + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  return 1;
}

int runSelfTest() {
  try {
    tamrin::runDaemonSelfTest();
  } catch (const std::exception& error) {
    return fail(error);
  }
  std::fputs("Tamrin daemon self-test passed\n", stdout);
  return 0;
}

// What a daemon killed in the middle of an atomic write left beside the files it or its tool
// writes.
void removeOwnStaleTemporaries(const tamrin::DaemonEnvironment& environment) {
  tamrin::removeStaleTemporaries(environment.policyPath);
  tamrin::removeStaleTemporaries(environment.packetFilter.tokenFile());
  tamrin::removeStaleTemporaries(environment.packetFilter.rulesFile());
  tamrin::removeStaleTemporaries(std::filesystem::path(tamrin::kRunDirectory) / "pf-tokens");
  environment.layers->removeStaleTemporaries();
  tamrin::removeStaleTemporaries(environment.packetFilter.recordFile());
  tamrin::removeStaleTemporaries(kBlockRecordPath);
  try {
    tamrin::removeStaleTemporaries(environment.hosts.editedPath());
  } catch (const std::exception&) {
    // A dangling link or a loop: there is nothing of ours beside it to find.
  }
}

// The changes that bring a pass within about 100 ms: of the hosts file, nsswitch.conf, the
// suffix list, the browser policies, the stop guard, the managed configuration or the table.
// None when the watcher cannot be had.
std::vector<std::unique_ptr<tamrin::ProtectionWatcher>> systemWatchers(
    const tamrin::ProtectionLayers& layers) {
  using namespace tamrin;
  std::vector<std::unique_ptr<ProtectionWatcher>> watchers;
  try {
    const NameServicePaths nameService = NameServicePaths::system();
    std::vector<std::filesystem::path> watched = {nameService.nsswitch, nameService.suffixList};
    for (auto& file : BrowserPolicyPaths::system().policyFiles()) watched.push_back(file);
    if (auto guard = layers.stopGuardFile(); !guard.empty()) watched.push_back(std::move(guard));
    watched.emplace_back(kManagedConfigurationPath);
    watchers.push_back(systemProtectionWatcher(kHostsPath, std::move(watched)));
  } catch (const std::exception& error) {
    fail(error);  // reported; the timer still repairs within a minute
  }
  return watchers;
}

// The system's pieces for the service, its tool run by `runner`.
tamrin::DaemonEnvironment systemEnvironment(const tamrin::PacketFilterRunner& runner,
                                            const tamrin::ServiceNotifier& notify) {
  using namespace tamrin;
  // Under systemd, the unit also refuses to be stopped during a block.
  auto layers = std::make_shared<ProtectionLayers>(
      NameServicePaths::system(), BrowserPolicyPaths::system(), StopGuard::system());
  auto watchers = systemWatchers(*layers);
  return DaemonEnvironment{
      .policyPath = kDefaultPolicyPath,
      .hosts = HostsFile(kHostsPath),
      .packetFilter = PacketFilter{.directory = defaultPacketFilterDirectory(), .runner = runner},
      .resolveDomains =
          [](const std::vector<std::string>& domains) { return resolvedAddresses(domains); },
      .resolveDirect =
          [](const std::vector<std::string>& hostnames) {
            DnsResolverOptions options;
            options.resolvConf = directResolverConfiguration();  // looked at again every refresh
            return resolveDirectly(hostnames, options);
          },
      .flushDNS = [] { flushDNSCache(); },
      .layers = std::move(layers),
      // During blocks, every new web connection's server name is read and blocked names are
      // refused, whatever resolver or hosts file the program used.
      .wireNames = std::make_shared<WireNamesLayer>(WireNamesLayer::Seams{
          .openKernel = openWireKernel,
          .newJudge = [] { return newWireFlowJudge(); },
          .now =
              [] {
                return std::chrono::duration<double>(
                           std::chrono::steady_clock::now().time_since_epoch())
                    .count();
              }}),
      .watchers = std::move(watchers),
      // A second word on a running block, beside the policy: in /run and in the filter's table.
      .blockRecords = std::make_unique<BlockRecordKeeper>(std::vector<BlockRecordStore>{
          runFileRecordStore(kBlockRecordPath),
          packetFilterRecordStore(
              PacketFilter{.directory = defaultPacketFilterDirectory(), .runner = runner})}),
      // Under systemd, every timer pass feeds its watchdog: a stopped or stuck daemon is
      // restarted.
      .afterTimerPass = [notify] { notify(kAlive); },
      .managedConfiguration = ManagedConfigurationFile{.path = kManagedConfigurationPath},
  };
}

int serve() {
  using namespace tamrin;
  // Before the socket, the hosts file or the filter is touched: the run directory is ours
  // and one daemon at a time.
  std::optional<DaemonLock> lock;
  try {
    claimRunDirectory(kRunDirectory, runDirectoryEntries());
    lock.emplace(DaemonLock::acquire(kDaemonLockPath));
  } catch (const std::exception& error) {
    return fail(error);
  }
  // The tool runs from a sealed copy of the verified file, so a changed mode or a removed file
  // cannot stop repairs.
  std::shared_ptr<const SealedExecutable> tool;
  try {
    const auto& file = packetFilterExecutable();
    tool = verifiedSealedCopy(file, file.parent_path().parent_path());
  } catch (const std::exception& error) {
    return fail(error);
  }
  const PacketFilterRunner runner =
      tool ? sealedPacketFilterRunner(tool) : systemPacketFilterRunner();
  const ServiceNotifier notify = systemdServiceNotifier();
  DaemonEnvironment environment = systemEnvironment(runner, notify);
  removeOwnStaleTemporaries(environment);
  const auto service = DaemonService::create(std::move(environment));
  IpcListener listener(*service);
  try {
    const SealedClients sealed = sealedClients();
    listener.setConnectionCodeSigningRequirement(sealed.requirement, sealed.sizes);
  } catch (const std::exception& error) {
    return fail(error);  // no client is ever served without a requirement
  }
  service->start();  // the first pass completes before any request is read
  // A wall clock set, or a zone changed, is followed by a pass at once, not at the next timer.
  std::optional<ClockChangeWatch> clockWatch;
  try {
    clockWatch.emplace([service] { service->requestReconciliation(); });
  } catch (const std::exception&) {
    // Without the watch the timer still runs a pass within a minute.
  }
  try {
    listener.resume();
  } catch (const std::exception& error) {
    return fail(error);
  }
  notify(kServing);
  listener.serve();
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc >= 2 ? std::string_view(argv[1]) : std::string_view();
  if (argc >= 2 && command == "self-test") return runSelfTest();
  return serve();
}
