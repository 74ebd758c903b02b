#include "nss/suffix_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tamrin {
namespace {

bool covers(const std::string& listText, const char* name) {
  tamrin_suffix_list list;
  EXPECT_EQ(tamrin_suffix_list_parse(listText.data(), listText.size(), &list), 0);
  char canonical[TAMRIN_NAME_MAX + 1];
  const int length = tamrin_canonical_name(name, std::strlen(name), canonical);
  const bool result = length >= 0 && tamrin_suffix_list_covers(&list, canonical);
  tamrin_suffix_list_free(&list);
  return result;
}

TEST(SuffixListTest, MatchesNamesEqualToOrUnderASuffix) {
  const std::string list =
      "example.com\n  Blocked.TEST.\r\nbad name.org\n*.star.org\nsingle\n"
      "a..b\n-ok-.net\x01\nlast.org";
  const struct {
    const char* name;
    bool covered;
  } cases[] = {
      {"example.com", true},
      {"old.example.com", true},
      {"a.b.c.example.com", true},
      {"EXAMPLE.com.", true},
      {"notexample.com", false},
      {"example.com.evil", false},
      {"com", false},
      {"x.blocked.test", true},
      {"name.org", false},
      {"x.star.org", false},
      {"single", false},
      {"x.single", false},
      {"b", false},
      {"x.last.org", true},
      {"-ok-.net", false},
      {"", false},
      {".example.com", false},
      {"a..example.com", false},
      {"ex ample.com", false},
      {"www.example.com\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(covers(list, c.name), c.covered) << c.name;
  EXPECT_FALSE(covers("", "example.com"));
  EXPECT_FALSE(covers(std::string(300, 'a') + ".com\n", (std::string(300, 'a') + ".com").c_str()));
  const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b');
  EXPECT_TRUE(covers(longest, ("x." + longest).c_str()));
  EXPECT_FALSE(covers(std::string(64, 'a') + ".com", (std::string(64, 'a') + ".com").c_str()));
}

}  // namespace
}  // namespace tamrin
