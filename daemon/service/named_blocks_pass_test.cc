// Passes of the service over a configuration of named blocks: each block's sites are in the
// hosts file and the filter exactly while it runs, addresses are looked up for each domain
// once, and a change during one block is staged for that block alone.
#include <gtest/gtest.h>

#include "core/configuration.h"
#include "core/daemon_status.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"
#include "tests/support/service_fixture.h"

namespace tamrin {
namespace {

using testing::namedBlocks;
using testing::utcInstant;
using testing::window;

class NamedBlocksPassTest : public ServiceFixture {
 protected:
  // Monday 2 March 2026 (UTC): work 11:00-13:00, the evening 18:00-20:00; news in both.
  static TamrinConfiguration schedule(std::vector<std::string> work,
                                      std::vector<std::string> evening) {
    return namedBlocks({{"work", window(660, 780, std::move(work))},
                        {"evening", window(1080, 1200, std::move(evening))}});
  }

  // The sites in the hosts block and the addresses in the filter after a pass at `t`.
  void passAt(DaemonService& service, Instant t) {
    advanceTo(t);
    service.TEST_runPass(t);
  }
  bool sunk(const std::string& domain) const {
    return hostsText().find("0.0.0.0\t" + domain + "\n") != std::string::npos;
  }
  bool filtered(const std::string& address) {
    std::lock_guard lock(recordMutex);
    return fake.loadedRules().find(address) != std::string::npos;
  }
};

TEST_F(NamedBlocksPassTest, EachBlockIsEnforcedAtItsOwnHoursAndChangesAreStagedPerBlock) {
  addressesOf = {{"news.example", {"192.0.2.10"}},
                 {"video.example", {"192.0.2.20"}},
                 {"games.example", {"192.0.2.30"}}};
  auto service = makeService();
  service->start();
  ASSERT_FALSE(enable(*service, encodeConfiguration(schedule({"news.example"},
                                                             {"video.example", "news.example"})))
                   .text);
  // Outside blocks each domain is looked up for itself, once.
  const std::map<std::string, std::vector<std::string>> looked = {
      {"news.example", {"192.0.2.10"}}, {"video.example", {"192.0.2.20"}}};
  EXPECT_EQ(stored().addressesByDomain, looked);
  EXPECT_FALSE(hostsBlocked());

  passAt(*service, utcInstant(2026, 3, 2, 11, 0));
  EXPECT_TRUE(sunk("news.example"));
  EXPECT_FALSE(sunk("video.example"));
  EXPECT_TRUE(filtered("192.0.2.10"));
  EXPECT_FALSE(filtered("192.0.2.20"));
  EXPECT_TRUE(status(*service).blocked.value_or(false));

  // During work: work gains games, the evening loses news. Work keeps its sites to its end;
  // the evening, which does not run, takes its new sites at its start.
  ASSERT_FALSE(update(*service, encodeConfiguration(schedule({"news.example", "games.example"},
                                                             {"video.example"})))
                   .text);
  EXPECT_TRUE(sunk("news.example"));
  EXPECT_FALSE(sunk("games.example"));
  EXPECT_EQ(status(*service).policy->pendingConfigurationAppliesAt, utcInstant(2026, 3, 2, 18, 0));

  passAt(*service, utcInstant(2026, 3, 2, 13, 0));
  EXPECT_FALSE(hostsBlocked());
  EXPECT_FALSE(filtered("192.0.2.10"));

  passAt(*service, utcInstant(2026, 3, 2, 18, 0));
  EXPECT_TRUE(sunk("video.example"));
  EXPECT_FALSE(sunk("news.example"));
  EXPECT_TRUE(filtered("192.0.2.20"));
  EXPECT_FALSE(filtered("192.0.2.10"));

  passAt(*service, utcInstant(2026, 3, 3, 11, 0));
  EXPECT_TRUE(sunk("news.example"));
  EXPECT_TRUE(sunk("games.example"));
  EXPECT_FALSE(sunk("video.example"));
  EXPECT_FALSE(stored().pendingConfiguration);
  EXPECT_EQ(stored().configuration, schedule({"news.example", "games.example"}, {"video.example"}));
  // Removal waits for the end of every block.
  EXPECT_TRUE(remove(*service).text);
  passAt(*service, utcInstant(2026, 3, 3, 13, 0));
  EXPECT_FALSE(remove(*service).text);
  discard(service);
}

TEST_F(NamedBlocksPassTest, AConfigurationOfBlocksThatNoLongerValidatesChangesNothing) {
  auto service = makeService();
  service->start();
  const auto refused = [&](const std::string& json) { return enable(*service, json).text; };
  EXPECT_TRUE(refused(R"({"blocks":[]})"));
  EXPECT_TRUE(refused(R"({"blocks":[{"name":"a","domains":["a.example"],"focusStartMinutes":1,)"
                      R"("accessStartMinutes":2},{"name":"a","domains":["b.example"],)"
                      R"("focusStartMinutes":1,"accessStartMinutes":2}]})"));
  EXPECT_FALSE(status(*service).policy);
  discard(service);

  // A stored policy whose blocks do not validate is unusable: nothing is touched or lost.
  TamrinPolicy invalid(schedule({"news.example"}, {"video.example"}));
  (*invalid.configuration.blocks)[1].name = "work";
  writePolicy(invalid);
  const std::string before = hostsText();
  service = makeService();
  service->start();
  EXPECT_TRUE(call([&](Reply r) { service->getStatus(r); }).text);
  EXPECT_EQ(hostsText(), before);
  EXPECT_EQ(stored(), invalid);
  discard(service);
}

}  // namespace
}  // namespace tamrin
