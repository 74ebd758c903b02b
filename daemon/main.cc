// TamrinDaemon: "self-test" runs the built-in check; anything else serves the daemon's socket.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "core/hosts_file.h"
#include "daemon/client_requirement.h"
#include "daemon/daemon_service.h"
#include "daemon/dns_flush.h"
#include "daemon/ipc_listener.h"
#include "daemon/name_resolution.h"
#include "daemon/packet_filter.h"
#include "daemon/selftest.h"
#include "daemon/system_command.h"

namespace {

constexpr const char* kDefaultPolicyPath = "/var/lib/tamrin/policy.json";
constexpr const char* kHostsPath = "/etc/hosts";

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

int serve() {
  using namespace tamrin;
  auto service = DaemonService::create(
      kDefaultPolicyPath, HostsFile(kHostsPath),
      PacketFilter{.directory = defaultPacketFilterDirectory(),
                   .runner = systemPacketFilterRunner()},
      [](const std::vector<std::string>& domains) { return resolvedAddresses(domains); },
      [] { flushDNSCache(); });
  service->attachLayers(
      std::make_shared<ProtectionLayers>(NameServicePaths::system(), BrowserPolicyPaths::system()));
  IpcListener listener(*service);
  try {
    listener.setConnectionCodeSigningRequirement(clientCodeSigningRequirement());
  } catch (const std::exception& error) {
    return fail(error);  // no client is ever served without a requirement
  }
  service->start();  // the first pass completes before any request is read
  try {
    listener.resume();
  } catch (const std::exception& error) {
    return fail(error);
  }
  listener.serve();
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc >= 2 ? std::string_view(argv[1]) : std::string_view();
  if (argc >= 2 && command == "self-test") return runSelfTest();
  return serve();
}
