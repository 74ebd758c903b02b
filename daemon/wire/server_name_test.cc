#include "daemon/wire/server_name.h"

#include <gtest/gtest.h>

namespace tamrin {
namespace {

TEST(ServerNameTest, NormalisesOrRefusesWhatTheWireCarries) {
  const struct {
    std::string text, expected;
  } kCases[] = {
      {"Example.COM", "example.com"},
      {"example.com.", "example.com"},
      {"_acme.example.com", "_acme.example.com"},
      {"example.com..", ""},
      {"", ""},
      {".", ""},
      {"a..b", ""},
      {"exa mple.com", ""},
      {std::string("exa\0mple.com", 12), ""},
      {"b\xc3\xa4r.de", ""},
      {std::string(253, 'a'), std::string(253, 'a')},
      {std::string(254, 'a'), ""},
  };
  for (const auto& row : kCases) {
    EXPECT_EQ(normalizedServerName(row.text), row.expected) << row.text;
  }
}

TEST(ServerNameTest, MatchesAsTheDaemonBlocks) {
  const BlockedNameMatcher blocked({"example.com", "*.video.test", "x.com"});
  const struct {
    std::string_view name;
    bool blocked;
  } kCases[] = {
      {"example.com", true},
      {"WWW.Example.com.", true},
      {"mail.example.com", false},
      {"notexample.com", false},
      {"video.test", true},
      {"www.video.test", true},
      {"a.b.video.test", true},
      {"avideo.test", false},
      {"twitter.com", true},
      {"www.twitter.com", true},
      {"com", false},
      {{"example.com\0", 12}, false},
  };
  for (const auto& row : kCases) EXPECT_EQ(blocked.matches(row.name), row.blocked) << row.name;
  EXPECT_FALSE(blocked.empty());
  EXPECT_TRUE(BlockedNameMatcher().empty());
  EXPECT_FALSE(BlockedNameMatcher().matches("example.com"));
}

}  // namespace
}  // namespace tamrin
