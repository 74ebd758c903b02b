#include "daemon/resolve/hosts_file_addresses.h"

#include <gtest/gtest.h>

namespace tamrin {
namespace {

using Addresses = std::vector<std::string>;

TEST(HostsFileAddressesTest, TheUsersOwnLinesForTheNamesOnly) {
  const std::vector<std::string> names = {"site.test", "www.site.test"};
  struct Case {
    const char* name;
    const char* text;
    Addresses addresses;
  } const cases[] = {
      {"one line", "10.77.0.2 site.test\n", {"10.77.0.2"}},
      {"aliases, tabs and case",
       "127.0.0.1 localhost\n10.0.0.1\tother.test  WWW.Site.Test\n",
       {"10.0.0.1"}},
      {"in file order",
       "2001:db8::2 site.test\n10.0.0.3 www.site.test site.test\n",
       {"2001:db8::2", "10.0.0.3"}},
      {"comments and a name only under a comment",
       "# 10.0.0.9 site.test\n10.0.0.4 other.test # site.test\n",
       {}},
      {"a longer name is another name", "10.0.0.5 site.test.example\n10.0.0.6 m.site.test\n", {}},
      {"our own block is not the user's",
       "10.0.0.7 site.test\n\n# BEGIN TAMRIN BLOCK\n0.0.0.0\tsite.test\n::\tsite.test\n"
       "# END TAMRIN BLOCK\n",
       {"10.0.0.7"}},
      {"no final line feed", "10.0.0.8 site.test", {"10.0.0.8"}},
  };
  for (const Case& c : cases) EXPECT_EQ(hostsFileAddresses(c.text, names), c.addresses) << c.name;
}

}  // namespace
}  // namespace tamrin
