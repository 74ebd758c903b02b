#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/configuration.h"
#include "core/policy.h"
#include "core/tamrin_error.h"
#include "core/week_coverage.h"
#include "tests/support/configurations.h"
#include "tests/support/local_time.h"

namespace tamrin {
namespace {

using testing::namedBlocks;
using testing::window;
using Names = std::set<std::string>;

constexpr const char* kZone = "Europe/Berlin";

// March 2026: the 1st is a Sunday; the 29th is the spring change (02:00 becomes 03:00).
Instant at(int day, int hour, int minute = 0) {
  return testing::localInstant(kZone, 2026, 3, day, hour, minute, 0);
}

Names blockedAt(const TamrinPolicy& policy, Instant t, const Calendar& calendar) {
  const auto domains = policy.enforcedSites(t, calendar).domains;
  return {domains.begin(), domains.end()};
}

// Work 09:00-17:00 on weekdays, the evening 18:00-22:00 every day, a night block from Friday
// 23:00 to Saturday 02:00, and news also in a late block 21:00-23:00.
TamrinConfiguration dayAndEvening() {
  return namedBlocks({
      {"work", window(540, 1020, {"news.example", "shop.example"}, {{2, 3, 4, 5, 6}})},
      {"evening", window(1080, 1320, {"video.example"})},
      {"friday night", window(1380, 120, {"games.example"}, {{6}})},
      {"late", window(1260, 1380, {"news.example"})},
  });
}

TEST(NamedBlocksTest, TheBlockedNamesAreTheUnionOfTheRunningBlocks) {
  const Calendar calendar = Calendar::named(kZone);
  const TamrinPolicy policy(dayAndEvening());
  const struct {
    const char* what;
    Instant t;
    Names names;
  } cases[] = {
      {"Monday morning, before any block", at(2, 8, 59), {}},
      {"Monday at work", at(2, 9, 0), {"news.example", "shop.example"}},
      {"between work and the evening", at(2, 17, 30), {}},
      {"the evening", at(2, 18, 0), {"video.example"}},
      {"the evening and the late block overlap", at(2, 21, 30), {"video.example", "news.example"}},
      {"the late block alone", at(2, 22, 30), {"news.example"}},
      {"Sunday: no work", at(1, 10, 0), {}},
      {"Friday night, before midnight", at(6, 23, 30), {"games.example"}},
      {"Friday night goes on into Saturday", at(7, 1, 59), {"games.example"}},
      {"Saturday after the night block", at(7, 2, 0), {}},
      {"Thursday: the night block opens only on Fridays", at(5, 23, 30), {}},
      {"the spring change at 03:00 (02:00 does not exist)", at(29, 3, 0), {}},
      {"the evening on the day of the change", at(29, 18, 30), {"video.example"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(blockedAt(policy, c.t, calendar), c.names);
    EXPECT_EQ(policy.isBlocked(c.t, calendar), !c.names.empty());
  }
}

TEST(NamedBlocksTest, TheNextTransitionIsTheNextChangeOfTheBlockedNames) {
  const Calendar calendar = Calendar::named(kZone);
  const TamrinPolicy policy(dayAndEvening());
  const struct {
    const char* what;
    Instant after;
    Instant next;
  } cases[] = {
      {"work starts", at(2, 8, 0), at(2, 9, 0)},
      {"work ends", at(2, 12, 0), at(2, 17, 0)},
      {"the late block adds news", at(2, 19, 0), at(2, 21, 0)},
      {"the evening ends, news stays", at(2, 21, 30), at(2, 22, 0)},
      {"the late block ends", at(2, 22, 30), at(2, 23, 0)},
      {"Friday's late block hands over to the night block", at(6, 22, 30), at(6, 23, 0)},
      {"the night block ends on Saturday", at(7, 0, 30), at(7, 2, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(policy.nextEnforcementTransition(c.after, calendar), c.next);
  }
  // The same names in two touching blocks are no change: the transition is where they go.
  const TamrinPolicy touching(namedBlocks({{"a", window(540, 720, {"x.example"})},
                                           {"b", window(720, 900, {"x.example"})}}));
  EXPECT_EQ(touching.nextEnforcementTransition(at(2, 10, 0), calendar), at(2, 15, 0));
  EXPECT_EQ(touching.nextScheduledAccessStart(at(2, 10, 0), calendar), at(2, 15, 0));
}

// A change at Monday 10:00, while work runs and the evening does not.
struct StagingCase {
  const char* what;
  TamrinConfiguration before;
  TamrinConfiguration after;
  std::vector<std::pair<Instant, Names>> expected;
};

TEST(NamedBlocksTest, AChangeIsStagedForEachBlockOnItsOwn) {
  const Calendar calendar = Calendar::named(kZone);
  const auto work = [](std::vector<std::string> domains) {
    return window(540, 1020, std::move(domains), {{2, 3, 4, 5, 6}});
  };
  const TamrinConfiguration evening = window(1080, 1320, {"video.example"});
  const TamrinConfiguration base =
      namedBlocks({{"work", work({"news.example"})}, {"evening", evening}});
  const StagingCase cases[] = {
      {"a running block's sites change at its next start",
       base,
       namedBlocks({{"work", work({"news.example", "shop.example"})}, {"evening", evening}}),
       {{at(2, 16, 59), {"news.example"}},
        {at(2, 18, 0), {"video.example"}},
        {at(3, 9, 0), {"news.example", "shop.example"}}}},
      {"a dropped running block runs to its end",
       base,
       namedBlocks({{"evening", evening}}),
       {{at(2, 16, 59), {"news.example"}}, {at(2, 17, 0), {}}, {at(3, 9, 0), {}}}},
      {"an added block starts at its first start after the change",
       base,
       namedBlocks({{"work", work({"news.example"})},
                    {"evening", evening},
                    {"lunch", window(720, 780, {"food.example"})}}),
       {{at(2, 12, 30), {"news.example", "food.example"}}}},
      {"a block that does not run changes at once",
       base,
       namedBlocks({{"work", work({"news.example"})},
                    {"evening", window(1080, 1320, {"video.example", "games.example"})}}),
       {{at(2, 18, 0), {"video.example", "games.example"}}}},
      {"a block whose new window is under way waits for its next start",
       base,
       namedBlocks({{"work", work({"news.example"})}, {"evening", window(540, 1320, {"video.example"})}}),
       {{at(2, 10, 30), {"news.example"}}, {at(3, 9, 0), {"news.example", "video.example"}}}},
      {"one list becomes named blocks: the running one ends first",
       work({"news.example"}),
       namedBlocks({{"evening", evening}}),
       {{at(2, 16, 0), {"news.example"}}, {at(2, 17, 0), {}}, {at(2, 19, 0), {"video.example"}},
        {at(3, 9, 0), {}}}},
      {"named blocks become one list",
       base,
       window(1200, 1260, {"chat.example"}),
       {{at(2, 16, 0), {"news.example"}}, {at(2, 19, 0), {}}, {at(2, 20, 30), {"chat.example"}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TamrinPolicy policy(c.before);
    policy.stageConfiguration(c.after, at(2, 10, 0), std::nullopt, calendar);
    EXPECT_EQ(policy.configuredForNextFocus(), c.after);
    for (const auto& [t, names] : c.expected) {
      EXPECT_EQ(blockedAt(policy, t, calendar), names) << t.secondsSinceReference();
    }
    // Applied pass by pass, the staged configuration ends up in force alone.
    TamrinPolicy applied = policy;
    for (const auto& [t, names] : c.expected) {
      applied.applyPendingConfigurationIfNeeded(t);
      EXPECT_EQ(blockedAt(applied, t, calendar), names);
    }
    applied.applyPendingConfigurationIfNeeded(at(10, 0, 0));
    EXPECT_EQ(applied.configuration, c.after);
    EXPECT_FALSE(applied.pendingConfiguration);
    EXPECT_TRUE(applied.pendingBlocks.empty());
    // What is stored reads back the same.
    EXPECT_EQ(decodePolicy(encodePolicy(policy)), policy);
  }
}

TEST(NamedBlocksTest, StagingKeepsWhatRunsAndCancelsOnResending) {
  const Calendar calendar = Calendar::named(kZone);
  TamrinPolicy policy(dayAndEvening());
  TamrinConfiguration changed = dayAndEvening();
  (*changed.blocks)[0].schedule.domains = {"other.example"};
  policy.stageConfiguration(changed, at(2, 10, 0), std::nullopt, calendar);
  EXPECT_EQ(policy.pendingConfigurationAppliesAt, at(3, 9, 0));
  const auto states = policy.blockStates(at(2, 10, 0), calendar);
  ASSERT_EQ(states.size(), 4u);
  EXPECT_EQ(states[0].name, "work");
  EXPECT_TRUE(states[0].blocked);
  EXPECT_EQ(states[0].nextTransition, at(2, 17, 0));
  EXPECT_EQ(states[0].pendingChangesApplyAt, at(3, 9, 0));
  EXPECT_FALSE(states[1].blocked);
  EXPECT_EQ(states[1].nextTransition, at(2, 18, 0));
  EXPECT_FALSE(states[1].pendingChangesApplyAt);
  EXPECT_THROW(policy.validateRemoval(at(2, 10, 0), calendar), TamrinError);
  EXPECT_NO_THROW(policy.validateRemoval(at(2, 17, 30), calendar));

  // A block held on the boot clock past its end keeps its sites until the hold ends.
  TamrinPolicy held(dayAndEvening());
  held.stageConfiguration(changed, at(2, 10, 0), std::nullopt, calendar, at(2, 17, 30));
  EXPECT_EQ(blockedAt(held, at(2, 16, 0), calendar), (Names{"news.example", "shop.example"}));
  EXPECT_EQ(held.pendingBlocks.at(0).stopsEnforcingAt, at(2, 17, 30));

  policy.stageConfiguration(dayAndEvening(), at(2, 11, 0), std::nullopt, calendar);
  EXPECT_FALSE(policy.pendingConfiguration);
  EXPECT_TRUE(policy.pendingBlocks.empty());
  EXPECT_EQ(policy.configuration, dayAndEvening());
}

TEST(NamedBlocksTest, AddressesBelongToDomainsAndFollowTheBlocks) {
  const Calendar calendar = Calendar::named(kZone);
  TamrinPolicy policy(dayAndEvening());
  policy.addressesByDomain = {{"news.example", {"192.0.2.1"}}, {"video.example", {"192.0.2.2"}}};
  EXPECT_EQ(policy.enforcedSites(at(2, 10, 0), calendar).addresses,
            std::vector<std::string>{"192.0.2.1"});
  EXPECT_EQ(policy.enforcedSites(at(2, 21, 30), calendar).addresses,
            (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
  EXPECT_TRUE(policy.enforcedSites(at(2, 17, 30), calendar).addresses.empty());
  EXPECT_EQ(policy.enforcedSites(at(2, 17, 30), calendar, true).domains.size(), 4u);
}

TEST(NamedBlocksTest, OnlyWellFormedNamedBlocksAreValid) {
  const auto valid = [] { return dayAndEvening(); };
  const struct {
    const char* what;
    TamrinConfiguration configuration;
    bool isValid;
  } cases[] = {
      {"the example", valid(), true},
      {"no blocks", namedBlocks({}), false},
      {"a duplicate name", namedBlocks({{"a", window(60, 120)}, {"a", window(180, 240)}}), false},
      {"an empty name", namedBlocks({{"", window(60, 120)}}), false},
      {"a control character", namedBlocks({{"a\tb", window(60, 120)}}), false},
      {"a C1 control", namedBlocks({{"a\xc2\x85", window(60, 120)}}), false},
      {"white space around", namedBlocks({{" a", window(60, 120)}}), false},
      {"64 characters of two bytes", namedBlocks({{std::string(64 * 2 / 2, 'x'), window(60, 120)}}), true},
      {"65 characters", namedBlocks({{std::string(65, 'x'), window(60, 120)}}), false},
      {"a block without domains", namedBlocks({{"a", window(60, 120, {})}}), false},
      {"blocks that cover the whole week together",
       namedBlocks({{"a", window(0, 720, {"x.example"})}, {"b", window(720, 0, {"y.example"})}}),
       false},
      {"blocks beside top-level domains",
       [] {
         auto c = dayAndEvening();
         c.domains = {"x.example"};
         return c;
       }(),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.configuration.isValid(), c.isValid);
  }
  EXPECT_TRUE(isValidBlockName("\xc3\xa9t\xc3\xa9 \xe2\x80\x99s"));  // "été ’s"
  std::vector<std::pair<std::string, TamrinConfiguration>> many;
  for (int i = 0; i < 33; ++i) many.emplace_back("b" + std::to_string(i), window(60, 120));
  EXPECT_FALSE(namedBlocks(many).isValid());
  many.pop_back();
  EXPECT_TRUE(namedBlocks(many).isValid());
}

TEST(NamedBlocksTest, JsonKeepsTheFormGivenAndRefusesMixedForms) {
  const TamrinConfiguration configuration = dayAndEvening();
  EXPECT_EQ(decodeConfiguration(encodeConfiguration(configuration)), configuration);
  EXPECT_EQ(encodeConfiguration(namedBlocks({{"a", window(60, 120)}})),
            R"({"blocks":[{"accessStartMinutes":120,"domains":["example.com"],)"
            R"("focusStartMinutes":60,"name":"a"}]})");
  for (const char* mixed :
       {R"({"blocks":[],"domains":["a.example"]})", R"({"blocks":[],"windows":[]})",
        R"({"blocks":[{"name":"a","domains":["a.example"],"blocks":[]}]})"}) {
    SCOPED_TRACE(mixed);
    try {
      decodeConfiguration(mixed);
      ADD_FAILURE() << "decoded";
    } catch (const std::exception& error) {
      EXPECT_STREQ(error.what(), std::string(kMixedFormsMessage).c_str());
    }
  }
  EXPECT_THROW(decodeConfiguration(R"({"blocks":[{"domains":["a.example"]}]})"), std::exception);
  EXPECT_THROW(decodeConfiguration(R"({"blocks":{}})"), std::exception);
}

}  // namespace
}  // namespace tamrin
