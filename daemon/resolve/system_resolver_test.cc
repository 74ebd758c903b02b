#include "daemon/resolve/system_resolver.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "core/blocked_hostnames.h"
#include "core/file_io.h"
#include "core/tamrin_error.h"
#include "daemon/resolve/address_list.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using Addresses = std::vector<std::string>;

// A resolver answering from a table; records the names it was asked for.
struct ScriptedResolver {
  std::map<std::string, Addresses> table;
  std::mutex mutex;
  std::vector<std::string> asked;

  HostLookup lookup() {
    return [this](const std::string& hostname) {
      std::lock_guard lock(mutex);
      asked.push_back(hostname);
      const auto entry = table.find(hostname);
      return entry == table.end() ? Addresses{} : entry->second;
    };
  }
};

void expectDomainResolution(const std::function<void()>& action) {
  try {
    action();
    ADD_FAILURE() << "no error";
  } catch (const TamrinError& error) {
    EXPECT_EQ(error.kind(), TamrinError::Kind::domainResolution) << error.what();
  }
}

TEST(NameResolutionTest, DistinctAddressesSortedAsTextWithoutExcludedOnes) {
  ScriptedResolver resolver;
  resolver.table = {
      {"alpha.test", {"192.0.2.9", "192.0.2.10", "192.0.2.9", "192.0.2.9", "127.0.0.1"}},
      {"www.alpha.test", {"2001:db8::1", "192.0.2.10", "::1"}},
      {"beta.test", {"203.0.113.5", "0.0.0.0", "192.0.2.1", "::"}},
  };
  const std::vector<std::string> domains = {"alpha.test", "beta.test", "gamma.test"};
  for (std::size_t bound : {std::size_t{1}, kMaxConcurrentLookups}) {
    SCOPED_TRACE(bound);
    resolver.asked.clear();
    EXPECT_EQ(resolvedAddresses(domains, resolver.lookup(), bound),
              (Addresses{"192.0.2.1", "192.0.2.10", "192.0.2.9", "2001:db8::1", "203.0.113.5"}));
    std::sort(resolver.asked.begin(), resolver.asked.end());
    std::vector<std::string> expected = blockedHostnames(domains);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(resolver.asked, expected);  // every blocked name exactly once
  }
}

TEST(NameResolutionTest, NothingUsableIsADomainResolutionFailure) {
  ScriptedResolver resolver;
  resolver.table = {{"local.test", {"127.0.0.1", "::1"}}, {"www.local.test", {"0.0.0.0", "::"}}};
  expectDomainResolution([&] { resolvedAddresses({"local.test"}, resolver.lookup(), 16); });
  expectDomainResolution([&] { resolvedAddresses({"unknown.test"}, resolver.lookup(), 16); });
  resolver.asked.clear();
  expectDomainResolution([&] { resolvedAddresses({}, resolver.lookup(), 16); });
  EXPECT_TRUE(resolver.asked.empty());
}

TEST(NameResolutionTest, ConcurrentLookupsReachButNeverPassTheBound) {
  std::vector<std::string> domains;
  for (int i = 0; i < 100; ++i) domains.push_back("site" + std::to_string(i) + ".test");
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t inFlight = 0;
  std::size_t peak = 0;
  bool gaveUp = false;
  const HostLookup lookup = [&](const std::string& hostname) {
    std::unique_lock lock(mutex);
    peak = std::max(peak, ++inFlight);
    changed.notify_all();
    // Hold every lookup until the bound was reached once; the deadline only guards a broken pool.
    if (!changed.wait_for(lock, std::chrono::seconds(10),
                          [&] { return gaveUp || peak >= kMaxConcurrentLookups; })) {
      gaveUp = true;
    }
    --inFlight;
    return Addresses{"198.51.100." + std::to_string(hostname.size())};
  };
  EXPECT_FALSE(resolvedAddresses(domains, lookup, kMaxConcurrentLookups).empty());
  EXPECT_EQ(peak, kMaxConcurrentLookups);
}

TEST(NameResolutionTest, ResultDoesNotDependOnTheBound) {
  std::vector<std::string> domains;
  for (int i = 0; i < 60; ++i) domains.push_back("host" + std::to_string(i) + ".test");
  // Overlapping answers, excluded addresses and unresolved names, each after a short delay.
  const HostLookup lookup = [](const std::string& hostname) {
    std::seed_seq seed(hostname.begin(), hostname.end());
    std::mt19937 random(seed);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    Addresses addresses;
    for (unsigned count = random() % 4; count > 0; --count) {
      switch (random() % 4) {
        case 0:
          addresses.push_back("127.0.0.1");
          break;
        case 1:
          addresses.push_back("2001:db8::" + std::to_string(random() % 40));
          break;
        default:
          addresses.push_back("192.0.2." + std::to_string(random() % 40));
          break;
      }
    }
    return addresses;
  };
  const Addresses sequential = resolvedAddresses(domains, lookup, 1);
  EXPECT_TRUE(std::is_sorted(sequential.begin(), sequential.end()));
  for (std::size_t bound : {2, 16, 200}) {
    EXPECT_EQ(resolvedAddresses(domains, lookup, bound), sequential) << "bound " << bound;
  }
}

TEST(NameResolutionTest, FirstFailingNameInOrderDecidesTheError) {
  const HostLookup lookup = [](const std::string& hostname) -> Addresses {
    if (hostname == "b.test") {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // fails after the later one
      throw std::runtime_error("b failed");
    }
    if (hostname == "d.test") throw std::runtime_error("d failed");
    return {"192.0.2.1"};
  };
  for (std::size_t bound : {std::size_t{1}, kMaxConcurrentLookups}) {
    try {
      resolvedAddresses({"a.test", "b.test", "c.test", "d.test"}, lookup, bound);
      ADD_FAILURE() << "no error with bound " << bound;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "b failed") << "bound " << bound;
    }
  }
}

TEST(NameResolutionTest, OnlyRoutableAddressesAndAtMost64PerNameAnd4096InAll) {
  ScriptedResolver resolver;
  resolver.table["mixed.test"] = {"0.0.0.0",         "::",
                                  "127.0.0.2",       "::1",
                                  "169.254.169.254", "fe80::1",
                                  "224.0.0.1",       "ff02::1",
                                  "255.255.255.255", "::ffff:127.0.0.1",
                                  "fe80::1%eth0",    "198.51.100.1",
                                  "2001:db8::1"};
  for (int i = 0; i < 1000; ++i) {
    resolver.table["big.test"].push_back("10.1." + std::to_string(i / 250) + "." +
                                         std::to_string(i % 250));
  }
  EXPECT_EQ(resolvedAddresses({"mixed.test"}, resolver.lookup(), 4),
            (Addresses{"198.51.100.1", "2001:db8::1"}));
  const Addresses big = resolvedAddresses({"big.test"}, resolver.lookup(), 4);
  ASSERT_EQ(big.size(), kMaxAddressesPerName);  // the first 64 of the answer
  EXPECT_NE(std::find(big.begin(), big.end(), "10.1.0.63"), big.end());
  EXPECT_EQ(std::find(big.begin(), big.end(), "10.1.0.64"), big.end());

  std::vector<std::string> domains;
  std::set<std::string> every;
  for (int name = 0; name < 40; ++name) {
    domains.push_back("n" + std::to_string(name) + ".test");
    for (const std::string& host : {domains.back(), "www." + domains.back()}) {
      for (int i = 0; i < 64; ++i) {
        resolver.table[host].push_back("10." + std::to_string(name) + "." +
                                       std::to_string(host.size()) + "." + std::to_string(i));
        every.insert(resolver.table[host].back());
      }
    }
  }
  const Addresses all = resolvedAddresses(domains, resolver.lookup(), 16);
  // Of 40 * 2 * 64 = 5120, the 4096 smallest texts.
  EXPECT_EQ(all, Addresses(every.begin(), std::next(every.begin(), kMaxAddressesInAll)));
}

TEST(NameResolutionTest, ANameThatNeverAnswersIsLeftOutAtTheLimit) {
  struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
  };
  const auto gate = std::make_shared<Gate>();
  const HostLookup lookup = [gate](const std::string& hostname) -> Addresses {
    if (hostname != "stuck.test") return {"192.0.2.1"};
    std::unique_lock lock(gate->mutex);
    gate->opened.wait(lock, [&] { return gate->open; });
    return {"192.0.2.99"};
  };
  EXPECT_EQ(
      resolvedAddresses({"fine.test", "stuck.test"}, lookup, 4, std::chrono::milliseconds(200)),
      Addresses{"192.0.2.1"});
  {
    std::lock_guard lock(gate->mutex);
    gate->open = true;
  }
  gate->opened.notify_all();
  // The thread left in the lookup ends once it returns, dropping its copy of `lookup`, so no
  // later test forks beside it.
  for (int i = 0; i < 1000 && gate.use_count() > 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(gate.use_count(), 2);
}

// The real resolver, reading a hosts file of our own in a private mount namespace.

bool underCI() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

#define SKIP_OR_FAIL_UNDER_CI(reason)  \
  do {                                 \
    if (underCI()) FAIL() << (reason); \
    GTEST_SKIP() << (reason);          \
  } while (false)

// What a forked child found: "unavailable: ..." when it could not set up its sandbox,
// "error: <message>" when resolution failed, otherwise one address per line.
std::string resolveInPrivateMountNamespace(const fs::path& scratch, const std::string& hosts,
                                           const std::vector<std::string>& domains) {
  std::ofstream(scratch / "hosts") << hosts;
  // Only the hosts file, so that no name can leave the machine.
  std::ofstream(scratch / "nsswitch.conf") << "hosts: files\n";
  std::ofstream(scratch / "resolv.conf") << "nameserver 127.0.0.1\n";

  int ends[2];
  if (pipe(ends) != 0) return "unavailable: pipe";
  const pid_t pid = fork();
  if (pid < 0) return "unavailable: fork";
  if (pid == 0) {
    close(ends[0]);
    std::string report;
    const auto bind = [&](const fs::path& source, const char* target) {
      return mount(source.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
    };
    if (unshare(CLONE_NEWNS) != 0) {
      report = std::string("unavailable: unshare(CLONE_NEWNS): ") + strerror(errno);
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      report = std::string("unavailable: making / private: ") + strerror(errno);
    } else if (!bind(scratch / "nsswitch.conf", "/etc/nsswitch.conf") ||
               (fs::exists("/etc/resolv.conf") &&
                !bind(scratch / "resolv.conf", "/etc/resolv.conf")) ||
               !bind(scratch / "hosts", "/etc/hosts")) {
      report = std::string("unavailable: bind mount over /etc: ") + strerror(errno);
    } else {
      try {
        for (const std::string& address : resolvedAddresses(domains)) report += address + "\n";
      } catch (const std::exception& error) {
        report = std::string("error: ") + error.what();
      }
    }
    const ssize_t written = write(ends[1], report.data(), report.size());
    _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  close(ends[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t count; (count = read(ends[0], buffer, sizeof buffer)) != 0;) {
    if (count > 0)
      report.append(buffer, static_cast<std::size_t>(count));
    else if (errno != EINTR)
      break;
  }
  close(ends[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "error: the child failed";
  return report;
}

class SystemResolverTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) SKIP_OR_FAIL_UNDER_CI("needs root for a private mount namespace");
    char pattern[] = "/tmp/tamrin-resolver-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    hostsBefore_ = readFile("/etc/hosts");
  }
  void TearDown() override {
    if (scratch_.empty()) return;
    fs::remove_all(scratch_);
    EXPECT_EQ(readFile("/etc/hosts"), hostsBefore_) << "the machine's /etc/hosts changed";
  }

  fs::path scratch_;
  std::string hostsBefore_;
};

TEST_F(SystemResolverTest, ResolvesBlockedNamesFromTheHostsFile) {
  const std::string hosts =
      "192.0.2.10 alpha.test\n"
      "192.0.2.9 alpha.test www.alpha.test\n"
      "127.0.0.1 beta.test\n"
      "0.0.0.0 www.beta.test\n"
      "198.51.100.7 gamma.test www.gamma.test\n";
  const std::string report = resolveInPrivateMountNamespace(
      scratch_, hosts, {"alpha.test", "beta.test", "gamma.test", "missing.test"});
  if (report.starts_with("unavailable:")) SKIP_OR_FAIL_UNDER_CI(report);
  EXPECT_EQ(report, "192.0.2.10\n192.0.2.9\n198.51.100.7\n");
}

TEST_F(SystemResolverTest, OnlyLoopbackAndUnknownNamesFail) {
  const std::string report = resolveInPrivateMountNamespace(
      scratch_, "127.0.0.1 beta.test www.beta.test\n", {"beta.test", "missing.test"});
  if (report.starts_with("unavailable:")) SKIP_OR_FAIL_UNDER_CI(report);
  EXPECT_EQ(report, "error: The blocked sites could not be resolved for network enforcement.");
}

}  // namespace
}  // namespace tamrin
