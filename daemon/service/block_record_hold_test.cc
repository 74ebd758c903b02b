#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "core/daemon_status.h"
#include "core/file_io.h"
#include "daemon/service/block_record_store.h"
#include "daemon/service/daemon_service.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"
#include "tests/support/service_fixture.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using testing::utcInstant;
using testing::window;

const char* const kLocked =
    "Tamrin can\u2019t be removed during an active block. Try again when access returns.";
const char* const kUnavailable =
    "Tamrin can\u2019t safely read its blocking state. Restart the computer and try again.";

// 04:00-20:00 every day, enabled at 10:00 UTC with the boot clock at 1000; both record stores
// live in memory and outlive each service, as /run and the table outlive a daemon.
class RecordHoldTest : public ServiceFixture {
 protected:
  RecordHoldTest() { withBootClock = true; }

  std::shared_ptr<DaemonService> makeService() {
    DaemonEnvironment recorded = environment();
    recorded.blockRecords = std::make_unique<BlockRecordKeeper>(
        std::vector<BlockRecordStore>{file.store(), table.store(/*costly=*/true)});
    return ServiceFixture::makeService(std::move(recorded));
  }
  // The text of the reply: absent on success.
  static std::optional<std::string> call(auto send) { return ServiceFixture::call(send).text; }
  // Enables at 03:00, before the day's window, so the sites' addresses are looked up while the
  // hosts file is clean, then runs the pass at 10:00 that starts the block.
  void enableBeforeTheBlock(DaemonService& service) {
    now = utcInstant(2026, 3, 2, 3, 0);
    bootNow = 1000;
    ASSERT_EQ(call([&](Reply r) { service.enableBlocking(encodeConfiguration(day), r); }),
              std::nullopt);
    advanceTo(utcInstant(2026, 3, 2, 10, 0));
    service.TEST_runPass(now);
  }

  const TamrinConfiguration day = window(240, 1200);
  MemoryRecordStore file;
  MemoryRecordStore table;
};

TEST_F(RecordHoldTest, ABlockIsRecordedTwiceAndARestartWithItsPolicyHoldsNothingExtra) {
  auto service = makeService();
  enableBeforeTheBlock(*service);
  const auto record = decodeBlockRecord(file.text.value_or(""));
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->end.endsAt, utcInstant(2026, 3, 2, 20, 0));
  EXPECT_EQ(record->end.endsAtBootTime, 1000 + 17 * 3600);
  EXPECT_EQ(record->domains, day.domains);
  EXPECT_EQ(record->addresses, std::vector<std::string>{"192.0.2.1"});
  EXPECT_EQ(table.text, file.text);

  service = makeService();
  service->TEST_runPass(now);
  EXPECT_TRUE(status(*service).layerProblems.empty());

  advanceTo(utcInstant(2026, 3, 2, 21, 0));
  service->TEST_runPass(now);
  EXPECT_EQ(file.text, std::nullopt) << "no block, no record";
  EXPECT_EQ(table.text, std::nullopt);
  file.text = encodeBlockRecord(*record);  // an old one, put back by hand
  EXPECT_EQ(call([&](Reply r) { service->prepareForRemoval(r); }), std::nullopt);
  EXPECT_EQ(file.text, std::nullopt) << "removal takes the records too";
}

TEST_F(RecordHoldTest, APolicyLostOrChangedWhileStoppedKeepsTheRecordedBlockUntilItsEnd) {
  const struct Case {
    const char* name;
    std::function<void(const fs::path&)> spoil;
    const char* reason;
    bool policyUnavailableAfter;
  } cases[] = {
      {"removed", [](const fs::path& p) { fs::remove(p); }, "The blocking state was missing",
       false},
      {"unreadable", [](const fs::path& p) { writeFileAtomically(p, "{garbage", 0600); },
       "The blocking state could not be read", true},
      {"edited",
       [](const fs::path& p) {
         // A window that runs no block now, and no anchor that would hold one.
         writeFileAtomically(p, encodePolicy(TamrinPolicy(window(1260, 1320))), 0600);
       },
       "The blocking state was changed", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(policyPath);
    writeFileAtomically(hostsPath, "127.0.0.1 localhost\n", 0644);
    fake = FakePacketFilterRunner();
    auto service = makeService();
    enableBeforeTheBlock(*service);
    service.reset();
    HostsFile(hostsPath).setBlocked(false, day.domains);  // as if removed meanwhile
    c.spoil(policyPath);

    advanceTo(utcInstant(2026, 3, 2, 11, 0));
    service = makeService();
    service->TEST_runPass(now);
    EXPECT_TRUE(hostsBlocked());
    EXPECT_TRUE(fake.enabled);
    EXPECT_NE(fake.rules.find("192.0.2.1"), std::string::npos);
    const DaemonStatus held = status(*service);
    EXPECT_EQ(held.blocked, true);
    const std::string reason = held.layerProblems.count("blockingState") > 0
                                   ? held.layerProblems.at("blockingState")
                                   : std::string();
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
    EXPECT_NE(reason.find("2026-03-02T20:00:00Z"), std::string::npos) << reason;
    EXPECT_EQ(call([&](Reply r) { service->prepareForRemoval(r); }), kLocked);
    EXPECT_TRUE(file.text.has_value());
    advanceTo(utcInstant(2026, 3, 2, 19, 59, 50));
    service->start();  // the timer wakes when the recorded block ends
    const auto wait = secondsToDeadline(*service);
    ASSERT_TRUE(wait.has_value());
    EXPECT_LE(*wait, 10);

    // At the recorded end the timer's pass takes the policy as it was found.
    const int passes = timerPasses();
    advanceTo(utcInstant(2026, 3, 2, 20, 0));
    ASSERT_TRUE(eventually([&] { return timerPasses() > passes; }));
    if (c.policyUnavailableAfter) {
      EXPECT_EQ(call([&](Reply r) { service->getStatus(r); }), kUnavailable);
      EXPECT_TRUE(hostsBlocked()) << "an unreadable state changes nothing";
    } else {
      EXPECT_FALSE(hostsBlocked());
      EXPECT_FALSE(fake.enabled);
      EXPECT_TRUE(status(*service).layerProblems.empty());
      EXPECT_EQ(file.text, std::nullopt);
      EXPECT_EQ(table.text, std::nullopt);
    }
    file.text.reset();
    table.text.reset();
  }
}

}  // namespace
}  // namespace tamrin
