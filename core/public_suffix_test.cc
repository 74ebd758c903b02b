#include "core/public_suffix.h"

#include <gtest/gtest.h>

namespace tamrin {
namespace {

TEST(PublicSuffixListTest, RulesWildcardsAndExceptions) {
  const PublicSuffixList list(
      "// comment\ncom\nco.uk\n*.ck\n!www.ck\n\n  \nblogspot.com trailing words\r\n");
  const struct {
    const char* name;
    bool expected;
  } cases[] = {
      {"com", true},       {"co.uk", true},        {"example.co.uk", false}, {"uk", true},
      {"org", true},       {"example.org", false}, {"foo.ck", true},         {"www.ck", false},
      {"a.foo.ck", false}, {"blogspot.com", true}, {"example.com", false},
  };
  for (const auto& c : cases) EXPECT_EQ(list.isPublicSuffix(c.name), c.expected) << c.name;
}

TEST(PublicSuffixListTest, SystemListKnowsSecondLevelSuffixes) {
  EXPECT_TRUE(PublicSuffixList::system().isPublicSuffix("co.uk"));
  EXPECT_FALSE(PublicSuffixList::system().isPublicSuffix("example.co.uk"));
}

}  // namespace
}  // namespace tamrin
