#include "tests/support/service_fixture.h"

#include <algorithm>
#include <chrono>

#include "core/file_io.h"
#include "core/hosts_file.h"
#include "core/tamrin_error.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

// How long a test waits for the timer's thread before it fails: far beyond what any pass of
// a loaded machine takes.
constexpr auto kPatience = std::chrono::seconds(20);

// Calls `released` once the last copy of the returned token is gone.
std::shared_ptr<int> releaseToken(std::function<void()> released) {
  return std::shared_ptr<int>(new int(0), [released = std::move(released)](int* token) {
    delete token;
    released();
  });
}

}  // namespace

void ServiceFixture::SetUp() { writeFileAtomically(hostsPath, "127.0.0.1 localhost\n", 0644); }

void ServiceFixture::TearDown() {
  for (const Made& made : made_) {
    EXPECT_EQ(made.released.wait_for(kPatience), std::future_status::ready)
        << "a service outlived its test";
  }
}

DaemonEnvironment ServiceFixture::environment() {
  std::optional<BootClock> boot;
  if (withBootClock) {
    boot = BootClock{.now = [this] { return bootNow.fetch_add(bootStep.load()); },
                     .bootId = [this] { return std::string(bootId.load()); }};
  }
  return DaemonEnvironment{
      .policyPath = policyPath,
      .hosts = HostsFile(hostsPath),
      .packetFilter = PacketFilter{.directory = directory / "pf",
                                   .runner =
                                       [this](const Arguments& arguments) {
                                         std::lock_guard lock(recordMutex);
                                         commands.push_back(arguments);
                                         if (onCommand) onCommand(arguments);
                                         if (answer) {
                                           if (auto text = answer(arguments)) return *text;
                                         }
                                         return fake.run(arguments);
                                       }},
      .clock = ServiceClock{.now = [this] { return now.load(); },
                            .calendar = [this] { return Calendar::named(zone.load()); },
                            .boot = std::move(boot)},
      .timerClock = TimerClock{.wall = [this] { return wall(); },
                               .monotonic = [this] { return monotonic(); }},
      .resolveDomains =
          [this](const std::vector<std::string>& domains) {
            if (duringResolve) duringResolve();
            std::lock_guard lock(recordMutex);
            ++resolverCalls;
            resolvedDomains = domains;
            try {
              if (HostsFile(hostsPath).containsManagedBlock(std::nullopt)) resolverSawBlock = true;
            } catch (const std::exception&) {
              // A hosts file that cannot be read holds no block the resolver could see.
            }
            if (domains.size() == 1 && addressesOf.contains(domains[0])) {
              return addressesOf.at(domains[0]);
            }
            if (addresses.empty()) throw TamrinError(TamrinError::Kind::domainResolution);
            return addresses;
          },
      .flushDNS =
          [this] {
            ++flushes;
            if (flushFails) throw TamrinError::packetFilter("flush failed");
          },
      .afterTimerPass =
          [this] {
            {
              std::lock_guard lock(passMutex_);
              ++timerPasses_;
            }
            passed_.notify_all();
          },
  };
}

std::shared_ptr<DaemonService> ServiceFixture::makeService(DaemonEnvironment environment) {
  // The service keeps its clocks, and the timer's thread its own, until they end.
  auto released = std::make_shared<std::promise<void>>();
  std::shared_future<void> future = released->get_future().share();
  const auto token = releaseToken([released] { released->set_value(); });
  environment.clock.now = [token, now = std::move(environment.clock.now)] { return now(); };
  environment.timerClock.wall = [token, wall = std::move(environment.timerClock.wall)] {
    return wall();
  };
  environment.timerClock.monotonic =
      [token, monotonic = std::move(environment.timerClock.monotonic)] { return monotonic(); };
  auto service = DaemonService::create(std::move(environment));
  made_.push_back({.service = service, .address = service.get(), .released = future});
  return service;
}

void ServiceFixture::discard(std::shared_ptr<DaemonService>& service) {
  const DaemonService* address = service.get();
  service.reset();
  for (const Made& made : made_) {
    if (made.address != address) continue;
    ASSERT_EQ(made.released.wait_for(kPatience), std::future_status::ready)
        << "the service was still held";
  }
}

void ServiceFixture::advance(double seconds) {
  now = now.load() + seconds;
  bootNow = bootNow.load() + seconds;
  advanceMonotonic(seconds);
}

void ServiceFixture::advanceMonotonic(double seconds) {
  monotonicNanos_ += static_cast<std::int64_t>(seconds * 1e9);
  wakeTimers();
}

void ServiceFixture::wakeTimers() {
  for (const Made& made : made_) {
    if (const auto service = made.service.lock()) service->TEST_timerClockChanged();
  }
}

std::optional<double> ServiceFixture::secondsToDeadline(const DaemonService& service) const {
  const auto deadline = service.TEST_timerDeadline();
  if (!deadline) return std::nullopt;
  return std::chrono::duration<double>(*deadline - wall()).count();
}

bool ServiceFixture::eventually(const std::function<bool()>& condition) {
  const auto limit = std::chrono::steady_clock::now() + kPatience;
  for (;;) {
    const int seen = timerPasses();
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= limit) return false;
    std::unique_lock lock(passMutex_);
    passed_.wait_for(lock, std::chrono::milliseconds(5), [&] { return timerPasses() != seen; });
  }
}

bool ServiceFixture::timersSettle() {
  return eventually([&] {
    return std::all_of(made_.begin(), made_.end(), [](const Made& made) {
      const auto service = made.service.lock();
      return !service || service->TEST_timerIdle();
    });
  });
}

DaemonStatus ServiceFixture::status(DaemonService& service) {
  const Outcome outcome = call([&](Reply r) { service.getStatus(r); });
  EXPECT_FALSE(outcome.text) << *outcome.text;
  return decodeDaemonStatus(outcome.data.value_or("{}"));
}

ServiceFixture::Outcome ServiceFixture::enable(DaemonService& service, const std::string& json) {
  return call([&](Reply r) { service.enableBlocking(json, r); });
}

ServiceFixture::Outcome ServiceFixture::update(DaemonService& service, const std::string& json) {
  return call([&](Reply r) { service.updateConfiguration(json, r); });
}

ServiceFixture::Outcome ServiceFixture::remove(DaemonService& service) {
  return call([&](Reply r) { service.prepareForRemoval(r); });
}

void ServiceFixture::writePolicy(const TamrinPolicy& policy) {
  fs::create_directories(policyPath.parent_path());
  writeFileAtomically(policyPath, encodePolicy(policy), 0600);
}

TamrinPolicy ServiceFixture::stored() const { return decodePolicy(readFile(policyPath)); }

std::string ServiceFixture::hostsText() const { return readFile(hostsPath); }

bool ServiceFixture::hostsBlocked() const {
  return HostsFile(hostsPath).containsManagedBlock(std::nullopt);
}

bool ServiceFixture::ran(const Arguments& arguments) {
  std::lock_guard lock(recordMutex);
  return std::find(commands.begin(), commands.end(), arguments) != commands.end();
}

std::chrono::steady_clock::time_point ServiceFixture::monotonic() const {
  // Far from the clock's epoch, so that no instant the timer computes lies before it.
  return std::chrono::steady_clock::time_point(std::chrono::hours(24)) +
         std::chrono::nanoseconds(monotonicNanos_.load());
}

std::chrono::system_clock::time_point ServiceFixture::wall() const {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(now.load().unixSeconds())));
}

}  // namespace tamrin
