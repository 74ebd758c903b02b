// How often a pass writes the policy file: once at most, with what the pass decided.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "core/file_io.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"
#include "tests/support/service_fixture.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using testing::utcInstant;
using testing::window;
using List = std::vector<std::string>;

const Instant kInBlock = utcInstant(2026, 3, 2, 10, 0);  // 04:00-20:00 UTC every day

// Counts the times a file of `directory` named `name` is replaced: every atomic write renames
// its temporary onto the name, which inotify reports as one IN_MOVED_TO. The temporaries'
// IN_MOVED_FROM are watched too, since inotify merges identical events queued back to back.
class ReplacementCounter {
 public:
  ReplacementCounter(const fs::path& directory, std::string name)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), name_(std::move(name)) {
    EXPECT_GE(fd_, 0);
    EXPECT_GE(::inotify_add_watch(fd_, directory.c_str(), IN_MOVED_FROM | IN_MOVED_TO), 0);
  }
  ~ReplacementCounter() { ::close(fd_); }
  ReplacementCounter(const ReplacementCounter&) = delete;
  ReplacementCounter& operator=(const ReplacementCounter&) = delete;

  // The replacements since the last call.
  int take() {
    int count = 0;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (ssize_t got; (got = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if ((event->mask & IN_MOVED_TO) && event->len > 0 && name_ == event->name) ++count;
        at += sizeof(inotify_event) + event->len;
      }
    }
    return count;
  }

 private:
  const int fd_;
  const std::string name_;
};

class DaemonServiceSaveTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    // The staged sites have an address of the user's own in the hosts file.
    writeFileAtomically(hostsPath, "127.0.0.1 localhost\n198.51.100.9 new.org\n", 0644);
    withBootClock = true;
  }

  std::shared_ptr<DaemonService> makeRefreshingService() {
    DaemonEnvironment env = environment();
    env.resolveDirect = [](const List&) {
      return DirectResolution{
          .answers = {{.hostname = "new.org", .addresses = {"198.51.100.10"}, .ttl = 300}},
          .complete = true};
    };
    return makeService(std::move(env));
  }
};

// The first pass of a block that a due staged change governs learns four things to keep: the
// change applied, the block's hold on the boot clock, the addresses the hosts file's own lines
// give its sites, and what the direct resolver adds to them. It writes them once.
TEST_F(DaemonServiceSaveTest, APassThatLearnsSeveralThingsWritesThePolicyOnce) {
  TamrinPolicy policy(window(240, 1200));
  policy.pendingConfiguration = window(240, 1200, {"new.org"});
  policy.pendingConfigurationStopsEnforcingAt = kInBlock - 7200;
  policy.pendingConfigurationAppliesAt = kInBlock - 3600;
  writePolicy(policy);
  auto service = makeRefreshingService();
  ReplacementCounter writes(policyPath.parent_path(), policyPath.filename());

  service->TEST_runPass(kInBlock);
  EXPECT_EQ(writes.take(), 1);
  const TamrinPolicy written = stored();
  EXPECT_EQ(written, status(*service).policy.value()) << "the file holds the policy in force";
  EXPECT_EQ(written.configuration.domains, List{"new.org"});
  EXPECT_FALSE(written.pendingConfiguration.has_value());
  EXPECT_TRUE(written.blockHold.has_value());
  EXPECT_EQ(written.resolvedAddresses, (List{"198.51.100.10", "198.51.100.9"}));

  // The next passes of the same block learn nothing new and write nothing.
  bootNow = bootNow + 60;
  now = kInBlock + 60;
  service->TEST_runPass(now);
  EXPECT_EQ(writes.take(), 0);
  EXPECT_EQ(stored(), written);
}

}  // namespace
}  // namespace tamrin
