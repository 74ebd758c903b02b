#include "daemon/protection_watcher.h"

#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "core/file_io.h"
#include "daemon/protection_events.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Appends one nftables event message of `type` for `family` naming `table` (none when null).
void putMessage(std::vector<char>& buffer, uint16_t type, uint8_t family, const char* table) {
  const std::size_t offset = buffer.size();
  buffer.resize(offset + 256);
  nlmsghdr* message = mnl_nlmsg_put_header(buffer.data() + offset);
  message->nlmsg_type = (NFNL_SUBSYS_NFTABLES << 8) | type;
  auto* header = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
  header->nfgen_family = family;
  if (table != nullptr) mnl_attr_put_strz(message, NFTA_RULE_TABLE, table);
  buffer.resize(offset + message->nlmsg_len);
}

TEST(ConcernsAnchorTable, OnlyEventsOfTheInetTamrinTableCount) {
  struct Message {
    uint16_t type;
    uint8_t family;
    const char* table;
  };
  struct Case {
    const char* name;
    std::vector<Message> messages;
    bool expected;
  } const cases[] = {
      {"a rule of ours", {{NFT_MSG_NEWRULE, NFPROTO_INET, "tamrin"}}, true},
      {"our table deleted", {{NFT_MSG_DELTABLE, NFPROTO_INET, "tamrin"}}, true},
      {"an element deleted", {{NFT_MSG_DELSETELEM, NFPROTO_INET, "tamrin"}}, true},
      {"another table", {{NFT_MSG_NEWTABLE, NFPROTO_INET, "noise"}}, false},
      {"same name, other family", {{NFT_MSG_NEWCHAIN, NFPROTO_IPV4, "tamrin"}}, false},
      {"a new generation alone", {{NFT_MSG_NEWGEN, NFPROTO_UNSPEC, nullptr}}, false},
      {"no table named", {{NFT_MSG_NEWRULE, NFPROTO_INET, nullptr}}, true},
      {"ours after others",
       {{NFT_MSG_NEWTABLE, NFPROTO_INET, "noise"},
        {NFT_MSG_DELTABLE, NFPROTO_INET, "noise"},
        {NFT_MSG_NEWRULE, NFPROTO_INET, "tamrin"},
        {NFT_MSG_NEWGEN, NFPROTO_UNSPEC, nullptr}},
       true},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer;
    for (const Message& m : c.messages) putMessage(buffer, m.type, m.family, m.table);
    EXPECT_EQ(concernsAnchorTable(buffer.data(), buffer.size()), c.expected) << c.name;
  }
}

// The real watcher on a hosts file in a scratch directory (the netlink side needs root).
TEST(SystemProtectionWatcher, ReportsEveryKindOfChangeOfTheHostsFileAndNothingElse) {
  if (::geteuid() != 0) GTEST_SKIP() << "joining the nftables multicast group needs root";
  ScratchDirectory scratch("watcher");
  const fs::path hosts = scratch.path() / "hosts";
  const fs::path elsewhere = scratch.path() / "real";
  fs::create_directory(elsewhere);
  const fs::path nsswitch = scratch.path() / "nsswitch.conf";
  writeFileAtomically(hosts, "127.0.0.1 localhost\n", 0644);
  writeFileAtomically(nsswitch, "hosts: tamrin files dns\n", 0644);
  std::atomic<int> reports{0};
  auto watcher = systemProtectionWatcher(hosts, {nsswitch});
  watcher->start([&](ProtectionWatcher::Change change) {
    if (change == ProtectionWatcher::Change::hostsFile) ++reports;
  });
  const auto reported = [&](auto&& act) {
    std::this_thread::sleep_for(20ms);
    reports = 0;
    act();
    for (int i = 0; i < 100 && reports == 0; ++i) std::this_thread::sleep_for(5ms);
    return reports > 0;
  };
  struct Case {
    const char* name;
    std::function<void()> act;
    bool expected;
  } const cases[] = {
      {"edited in place", [&] { fs::resize_file(hosts, 3); }, true},
      {"replaced by rename", [&] { writeFileAtomically(hosts, "a\n", 0644); }, true},
      {"edited in place after the replace", [&] { fs::resize_file(hosts, 1); }, true},
      {"mode changed", [&] { ::chmod(hosts.c_str(), 0600); }, true},
      {"another file of the directory",
       [&] { writeFileAtomically(scratch.path() / "x", "", 0644); }, false},
      {"deleted", [&] { fs::remove(hosts); }, true},
      {"created as a link",
       [&] {
         writeFileAtomically(elsewhere / "hosts", "b\n", 0644);
         fs::create_symlink(elsewhere / "hosts", hosts);
       },
       true},
      {"the link's target edited", [&] { fs::resize_file(elsewhere / "hosts", 0); }, true},
      {"the link's target replaced", [&] { writeFileAtomically(elsewhere / "hosts", "c\n", 0644); },
       true},
      {"the link turned into a file",
       [&] {
         fs::remove(hosts);
         writeFileAtomically(hosts, "d\n", 0644);
       },
       true},
      {"the old target edited", [&] { fs::resize_file(elsewhere / "hosts", 0); }, false},
      {"another watched file replaced",
       [&] { writeFileAtomically(nsswitch, "hosts: files dns\n", 0644); }, true},
      {"another watched file edited in place", [&] { fs::resize_file(nsswitch, 5); }, true},
  };
  for (const Case& c : cases) EXPECT_EQ(reported(c.act), c.expected) << c.name;
}

}  // namespace
}  // namespace tamrin
