// TamrinDaemon: "self-test" runs the built-in check; anything else serves the daemon's socket.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/file_io.h"
#include "core/hosts_file.h"
#include "daemon/enforcement/dns_flush.h"
#include "daemon/enforcement/packet_filter.h"
#include "daemon/enforcement/sealed_executable.h"
#include "daemon/enforcement/system_command.h"
#include "daemon/events/clock_change_watch.h"
#include "daemon/events/protection_watcher.h"
#include "daemon/ipc/listener.h"
#include "daemon/ipc/seal.h"
#include "daemon/resolve/direct_resolver.h"
#include "daemon/resolve/system_resolver.h"
#include "daemon/service/daemon_lock.h"
#include "daemon/service/daemon_service.h"
#include "daemon/service/run_directory.h"
#include "daemon/service/selftest.h"
#include "daemon/service/watchdog.h"

namespace {

constexpr const char* kDefaultPolicyPath = "/var/lib/tamrin/policy.json";
constexpr const char* kHostsPath = "/etc/hosts";
constexpr const char* kBlockRecordPath = "/run/tamrin/block-record";

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
void removeOwnStaleTemporaries(const tamrin::HostsFile& hosts,
                               const tamrin::PacketFilter& packetFilter,
                               const tamrin::ProtectionLayers& layers) {
  tamrin::removeStaleTemporaries(kDefaultPolicyPath);
  tamrin::removeStaleTemporaries(packetFilter.tokenFile());
  tamrin::removeStaleTemporaries(packetFilter.rulesFile());
  tamrin::removeStaleTemporaries(std::filesystem::path(tamrin::kRunDirectory) / "pf-tokens");
  layers.removeStaleTemporaries();
  tamrin::removeStaleTemporaries(packetFilter.recordFile());
  tamrin::removeStaleTemporaries(kBlockRecordPath);
  try {
    tamrin::removeStaleTemporaries(hosts.editedPath());
  } catch (const std::exception&) {
    // A dangling link or a loop: there is nothing of ours beside it to find.
  }
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
  PacketFilter packetFilter{.directory = defaultPacketFilterDirectory(), .runner = runner};
  const auto layers =
      std::make_shared<ProtectionLayers>(NameServicePaths::system(), BrowserPolicyPaths::system());
  removeOwnStaleTemporaries(HostsFile(kHostsPath), packetFilter, *layers);
  auto service = DaemonService::create(
      kDefaultPolicyPath, HostsFile(kHostsPath), std::move(packetFilter),
      [](const std::vector<std::string>& domains) { return resolvedAddresses(domains); },
      [] { flushDNSCache(); }, ServiceClock::system(),
      [](const std::vector<std::string>& hostnames) {
        DnsResolverOptions options;
        options.resolvConf = directResolverConfiguration();  // looked at again every refresh
        return resolveDirectly(hostnames, options);
      });
  service->attachLayers(layers);
  // A second word on a running block, beside the policy: in /run and in the filter's table.
  service->keepBlockRecords(std::make_unique<BlockRecordKeeper>(std::vector<BlockRecordStore>{
      runFileRecordStore(kBlockRecordPath),
      packetFilterRecordStore(
          PacketFilter{.directory = defaultPacketFilterDirectory(), .runner = runner})}));
  IpcListener listener(*service);
  try {
    const SealedClients sealed = sealedClients();
    listener.setConnectionCodeSigningRequirement(sealed.requirement, sealed.sizes);
  } catch (const std::exception& error) {
    return fail(error);  // no client is ever served without a requirement
  }
  try {
    // Changes of the hosts file, nsswitch.conf, the suffix list, the browser policies or the
    // table bring a pass within about 100 ms.
    const NameServicePaths nameService = NameServicePaths::system();
    std::vector<std::filesystem::path> watched = {nameService.nsswitch, nameService.suffixList};
    for (auto& file : BrowserPolicyPaths::system().policyFiles()) watched.push_back(file);
    service->watch(systemProtectionWatcher(kHostsPath, std::move(watched)));
  } catch (const std::exception& error) {
    fail(error);  // reported; the timer still repairs within a minute
  }
  // Under systemd, every timer pass feeds its watchdog: a stopped or stuck daemon is restarted.
  const ServiceNotifier notify = systemdServiceNotifier();
  service->notifyAfterEachTimerPass([notify] { notify(kAlive); });
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
