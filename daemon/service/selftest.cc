#include "daemon/service/selftest.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "core/configuration.h"
#include "core/daemon_status.h"
#include "core/file_io.h"
#include "core/pfctl_wire.h"
#include "core/policy.h"
#include "core/tamrin_error.h"
#include "daemon/enforcement/fake_packet_filter_runner.h"
#include "daemon/service/daemon_service.h"
#include "daemon/service/pass_timing.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kVideoSite = "youtube.com";
constexpr const char* kDiscussionSite = "reddit.com";

void expect(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error("Self-test expectation failed: " + what);
}

std::string upperCaseUuid() {
  std::string uuid = readFile("/proc/sys/kernel/random/uuid");
  uuid.erase(
      std::remove_if(uuid.begin(), uuid.end(), [](unsigned char c) { return std::isspace(c); }),
      uuid.end());
  std::transform(uuid.begin(), uuid.end(), uuid.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return uuid;
}

// Removes the directory when the check returns or throws.
struct TemporaryDirectory {
  fs::path path;
  explicit TemporaryDirectory(fs::path p) : path(std::move(p)) { fs::create_directories(path); }
  ~TemporaryDirectory() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

struct ReplyBox {
  std::optional<Data> data;
  std::optional<std::string> text;
  int calls = 0;
  Reply reply() {
    return [this](std::optional<Data> d, std::optional<std::string> t) {
      ++calls;
      data = std::move(d);
      text = std::move(t);
    };
  }
};

class SelfTest {
 public:
  SelfTest()
      : directory_(fs::temp_directory_path() / ("tamrin-daemon-self-test-" + upperCaseUuid())),
        hostsPath_(directory_.path / "hosts"),
        policyPath_(directory_.path / "policy.json"),
        runner_(std::make_shared<FakePacketFilterRunner>()) {
    writeFileAtomically(hostsPath_, "127.0.0.1 localhost\n", 0644);
  }

  void run() {
    const Calendar calendar = Calendar::current();
    const Instant now = ServiceClock::system().now();
    const auto time = calendar.hourAndMinute(now);
    const std::int64_t focus = time.hour * 60 + time.minute;
    const TamrinConfiguration configuration{.domains = {kVideoSite},
                                            .focusStartMinutes = focus,
                                            .accessStartMinutes = (focus + 2) % 1440,
                                            .activeWeekdays = std::nullopt};
    // Three minutes back the window has not opened yet: a pass there lifts the block.
    const Instant beforeWindow = now - 180.0;

    // 1. Enabling into a block writes the hosts block at once; no lookup (it would find the
    //    block) holds it up.
    auto service = newService();
    expectSuccess(
        call([&](Reply r) { service->enableBlocking(encodeConfiguration(configuration), r); }),
        "enable blocking");
    expect(fs::exists(policyPath_), "the policy file exists after enabling");
    expect(hostsText().find(kVideoSite) != std::string::npos, "the hosts file names the site");
    DaemonStatus status = statusOf(*service);
    expect(status.blocked == true && status.managedHostsBlockPresent &&
               !status.managedPacketFilterBlockPresent,
           "blocked with the hosts block alone after enabling");
    expect(resolverCalls_ == 0, "no resolver call while enabling into a block");

    // 2. Outside the window the sites are resolved once; the addresses are then reused.
    addresses_ = {"203.0.113.10"};
    reconcile(*service, beforeWindow);
    expect(resolverCalls_ == 1, "the resolver is asked once the block is lifted");
    reconcile(*service, now);
    expect(resolverCalls_ == 1, "stored addresses are reused");
    expect(!statusOf(*service).hasProtectionMismatch(), "no mismatch with both mechanisms on");

    // 3. A staged change that is due is applied by the next service's first pass.
    TamrinPolicy staged(configuration);
    staged.resolvedAddresses = {{"203.0.113.10"}};
    staged.pendingConfiguration = configuration;
    staged.pendingConfiguration->domains = {kDiscussionSite};
    staged.pendingConfigurationAppliesAt = now - 1.0;
    staged.pendingConfigurationStopsEnforcingAt = now - 2.0;
    writeFileAtomically(policyPath_, encodePolicy(staged), 0600);
    service = newService();
    reconcile(*service, now);
    expect(storedPolicy().configuration == *staged.pendingConfiguration,
           "the due staged configuration is stored as current");
    expect(hostsText().find(kDiscussionSite) != std::string::npos &&
               hostsText().find(kVideoSite) == std::string::npos,
           "the hosts block names the new site only");
    expect(statusOf(*service).hasProtectionMismatch(), "a mismatch until the new sites resolve");

    // 4. While the hosts block stands nothing is resolved; once lifted, the rules load.
    addresses_ = {"203.0.113.20", "2001:db8::20"};
    reconcile(*service, now);
    reconcile(*service, now);
    status = statusOf(*service);
    expect(status.managedHostsBlockPresent && !status.managedPacketFilterBlockPresent,
           "hosts-only enforcement while the block stands");
    reconcile(*service, beforeWindow + 1.0);
    reconcile(*service, now + 1.0);
    expect(!statusOf(*service).hasProtectionMismatch(), "no mismatch once the rules are loaded");
    reconcile(*service, now + 2.0);
    expect(lineCount(runner_->rules) == 2, "one rule line per address");
    expect(lineCount(runner_->loadedRules()) == 8, "four listed rules per address");
    expect(runner_->run(pfctlShowInfo()) == kPfctlStatusEnabled, "the filter is on");
    const PacketFilter filter = packetFilter();
    runner_->loadedRulesOverride =
        runner_->loadedRules() + "\n" + firstLine(runner_->loadedRules());
    expect(!filter.containsBlock(addresses_), "an altered listing fails the listing check");
    runner_->loadedRulesOverride.reset();

    // 5. A foreign rule in the listing makes the controller load its rules again.
    runner_->extraLoadedRule = "\nblock drop out all label \"foreign\"";
    const int loadsBefore = ruleLoads_;
    reconcile(*service, now + 2.5);
    expect(ruleLoads_ == loadsBefore + 1, "a foreign rule makes the controller load again");
    expect(lineCount(runner_->rules) == 2, "the loaded rules still have two lines");
    runner_->extraLoadedRule.clear();

    // 6. A hosts entry removed by hand is put back.
    std::string text = hostsText();
    const std::string entry = std::string("0.0.0.0\t") + kDiscussionSite + "\n";
    const auto position = text.find(entry);
    expect(position != std::string::npos, "the hosts block holds the IPv4 entry");
    text.erase(position, entry.size());
    writeFileAtomically(hostsPath_, text, 0644);
    reconcile(*service, now + 3.0);
    expect(HostsFile(hostsPath_).containsManagedBlock(std::vector<std::string>{kDiscussionSite}),
           "the hand-edited hosts block is repaired");

    // 7. Removal is refused during a block and allowed outside one.
    ReplyBox refused = call([&](Reply r) { service->prepareForRemoval(r); });
    expect(refused.text.has_value(), "removal is refused during a block");
    expect(fs::exists(policyPath_) && HostsFile(hostsPath_).containsManagedBlock(std::nullopt),
           "a refused removal leaves the policy and the hosts block");
    TamrinConfiguration later = configuration;
    later.focusStartMinutes = (focus + 30) % 1440;
    later.accessStartMinutes = (focus + 32) % 1440;
    writeFileAtomically(policyPath_, encodePolicy(TamrinPolicy(later)), 0600);
    service = newService();
    expectSuccess(call([&](Reply r) { service->prepareForRemoval(r); }), "removal outside a block");
    expect(!fs::exists(policyPath_), "removal deletes the policy file");
    expect(!HostsFile(hostsPath_).containsManagedBlock(std::nullopt),
           "removal removes the hosts block");

    // 8. Enabling again: the hosts block at once, the sites resolved once it is lifted, and
    //    both mechanisms at the next block.
    addresses_ = {"203.0.113.30"};
    service = newService();
    expectSuccess(
        call([&](Reply r) { service->enableBlocking(encodeConfiguration(configuration), r); }),
        "enable blocking again");
    reconcile(*service, beforeWindow + 4.0);
    reconcile(*service, now + 4.0);
    status = statusOf(*service);
    expect(status.blocked == true && status.managedHostsBlockPresent &&
               status.managedPacketFilterBlockPresent,
           "both mechanisms in place after enabling again");
    expect(storedPolicy().resolvedAddresses == std::vector<std::string>{"203.0.113.30"},
           "the stored addresses are the resolved ones");

    // 9. Thirty seconds before a block ends the next pass is at its end.
    const TamrinPolicy standard(TamrinConfiguration::standard());
    const auto evening = calendar.dateBySettingTime(19, 59, 30, now);
    expect(evening.has_value(), "19:59:30 exists today");
    expect(nextReconciliationDate(standard, *evening, calendar) ==
               standard.nextEnforcementTransition(*evening, calendar),
           "the next pass is at the next enforcement transition");
  }

 private:
  PacketFilter packetFilter() {
    auto runner = runner_;
    return PacketFilter{.directory = directory_.path / "packet-filter",
                        .runner = [this, runner](const std::vector<std::string>& arguments) {
                          if (!arguments.empty() && arguments == pfctlLoadRules(arguments.back()))
                            ++ruleLoads_;
                          return runner->run(arguments);
                        }};
  }

  std::shared_ptr<DaemonService> newService() {
    const fs::path hostsPath = hostsPath_;
    return DaemonService::create(DaemonEnvironment{
        .policyPath = policyPath_,
        .hosts = HostsFile(hostsPath_),
        .packetFilter = packetFilter(),
        .clock = wallClockOnly(),
        .resolveDomains =
            [this, hostsPath](const std::vector<std::string>&) {
              ++resolverCalls_;
              expect(!HostsFile(hostsPath).containsManagedBlock(std::nullopt),
                     "names are resolved only while the hosts file holds no block");
              if (addresses_.empty()) throw TamrinError(TamrinError::Kind::domainResolution);
              return addresses_;
            },
        .flushDNS = [] {},
    });
  }

  // The check runs passes at instants of its own choosing, so no boot clock holds a block.
  static ServiceClock wallClockOnly() {
    ServiceClock clock = ServiceClock::system();
    clock.boot.reset();
    return clock;
  }

  // A pass as the timer runs it, with the system lookups it wants.
  static void reconcile(DaemonService& service, Instant at) { service.TEST_runPass(at); }

  template <typename Send>
  static ReplyBox call(Send send) {
    ReplyBox box;
    send(box.reply());
    expect(box.calls == 1, "every request is answered exactly once");
    return box;
  }

  static void expectSuccess(const ReplyBox& box, const std::string& what) {
    expect(!box.text.has_value(), what + " succeeds (" + box.text.value_or("") + ")");
  }

  static DaemonStatus statusOf(DaemonService& service) {
    const ReplyBox box = call([&](Reply r) { service.getStatus(r); });
    expect(!box.text && box.data, "the status request succeeds");
    return decodeDaemonStatus(*box.data);
  }

  TamrinPolicy storedPolicy() const { return decodePolicy(readFile(policyPath_)); }
  std::string hostsText() const { return readFile(hostsPath_); }

  static std::size_t lineCount(const std::string& text) {
    std::size_t count = 0;
    std::size_t start = 0;
    while (start < text.size()) {
      auto end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) ++count;
      start = end + 1;
    }
    return count;
  }

  static std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

  TemporaryDirectory directory_;
  fs::path hostsPath_;
  fs::path policyPath_;
  std::shared_ptr<FakePacketFilterRunner> runner_;
  std::vector<std::string> addresses_;
  int resolverCalls_ = 0;
  int ruleLoads_ = 0;
};

}  // namespace

void runDaemonSelfTest() { SelfTest().run(); }

}  // namespace tamrin
