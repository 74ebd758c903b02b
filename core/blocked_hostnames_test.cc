#include "core/blocked_hostnames.h"

#include <gtest/gtest.h>

namespace tamrin {
namespace {

using Names = std::vector<std::string>;

struct Case {
  const char* name;
  Names domains;
  Names expected;
};

TEST(BlockedHostnames, ExpandsDomainsInOrderWithoutDuplicates) {
  const Case cases[] = {
      {"empty list", {}, {}},
      {"plain domain", {"example.com"}, {"example.com", "www.example.com"}},
      {"video site", {"youtube.com"}, {"youtube.com", "www.youtube.com", "m.youtube.com"}},
      {"micro-blogging short domain",
       {"x.com"},
       {"x.com", "www.x.com", "twitter.com", "www.twitter.com"}},
      {"micro-blogging main domain is not a key",
       {"twitter.com"},
       {"twitter.com", "www.twitter.com"}},
      {"domain order kept", {"b.org", "a.org"}, {"b.org", "www.b.org", "a.org", "www.a.org"}},
      {"www form already starting with www",
       {"www.example.com"},
       {"www.example.com", "www.www.example.com"}},
      {"domain and its www form give three names",
       {"example.com", "www.example.com"},
       {"example.com", "www.example.com", "www.www.example.com"}},
      {"short key then main domain: later duplicates dropped",
       {"x.com", "twitter.com"},
       {"x.com", "www.x.com", "twitter.com", "www.twitter.com"}},
      {"repeated domain", {"a.org", "a.org"}, {"a.org", "www.a.org"}},
      {"sub-domain of a key does not match",
       {"music.youtube.com"},
       {"music.youtube.com", "www.music.youtube.com"}},
      {"keys compare case-sensitively", {"YouTube.com"}, {"YouTube.com", "www.YouTube.com"}},
      {"suffix rule gives the names of its domain",
       {"*.example.com", "example.com"},
       {"example.com", "www.example.com"}},
      {"suffix rule of a key",
       {"*.youtube.com"},
       {"youtube.com", "www.youtube.com", "m.youtube.com"}},
      {"mobile name configured before the key",
       {"m.youtube.com", "youtube.com"},
       {"m.youtube.com", "www.m.youtube.com", "youtube.com", "www.youtube.com"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(blockedHostnames(c.domains), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace tamrin
