#include "daemon/events/protection_watcher.h"

#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <map>
#include <thread>

#include "core/file_io.h"
#include "daemon/events/protection_events.h"
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

// Appends one inotify event.
void putEvent(std::vector<char>& buffer, int wd, uint32_t mask, std::string name) {
  name.resize(name.empty() ? 0 : (name.size() / 16 + 1) * 16, '\0');  // padded like the kernel's
  inotify_event event{.wd = wd, .mask = mask, .cookie = 0, .len = uint32_t(name.size())};
  const auto* bytes = reinterpret_cast<const char*>(&event);
  buffer.insert(buffer.end(), bytes, bytes + sizeof event);
  buffer.insert(buffer.end(), name.begin(), name.end());
}

TEST(InterpretInotifyEvents, WatchedNamesLostEventsAndDroppedWatchesCount) {
  const std::map<int, std::vector<std::string>> watches = {{1, {}}, {2, {"hosts", "suffixes"}}};
  struct Event {
    int wd;
    uint32_t mask;
    std::string name;
  };
  struct Case {
    const char* name;
    std::vector<Event> events;
    bool relevant;
    std::vector<int> dropped;
  } const cases[] = {
      {"the queue overflowed", {{-1, IN_Q_OVERFLOW, ""}}, true, {}},
      {"the file itself", {{1, IN_MODIFY, ""}}, true, {}},
      {"a watched name", {{2, IN_CLOSE_WRITE, "suffixes"}}, true, {}},
      {"another name", {{2, IN_CREATE, "hosts.tmp"}, {2, IN_DELETE, "host"}}, false, {}},
      {"the directory itself", {{2, IN_ATTRIB, ""}}, false, {}},
      {"an unknown watch", {{7, IN_MODIFY, ""}}, false, {}},
      {"a watch dropped", {{2, IN_IGNORED, ""}, {1, IN_IGNORED, ""}}, true, {2, 1}},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer;
    for (const Event& e : c.events) putEvent(buffer, e.wd, e.mask, e.name);
    const InotifyVerdict verdict = interpretInotifyEvents(buffer.data(), buffer.size(), watches);
    EXPECT_EQ(verdict.relevant, c.relevant) << c.name;
    EXPECT_EQ(verdict.dropped, c.dropped) << c.name;
  }
}

// Watches that cannot be had are a problem until a retry has them; then the watcher looks.
TEST(SystemProtectionWatcher, RunningOutOfWatchesIsAProblemUntilARetryHasThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "joining the nftables multicast group needs root";
  ScratchDirectory scratch("watcher");
  const fs::path hosts = scratch.path() / "hosts";
  const fs::path suffixes = scratch.path() / "run/suffixes";
  writeFileAtomically(hosts, "127.0.0.1 localhost\n", 0644);
  std::atomic<bool> exhausted{true};
  auto watcher = systemProtectionWatcher(hosts, {suffixes},
                                         [&](int inotify, const fs::path& path, uint32_t mask) {
                                           if (exhausted && path.filename() == "run") {
                                             errno = ENOSPC;
                                             return -1;
                                           }
                                           return systemAddWatch(inotify, path, mask);
                                         });
  std::atomic<int> reports{0};
  watcher->start([&](ProtectionWatcher::Change change) {
    if (change == ProtectionWatcher::Change::hostsFile) ++reports;
  });
  ASSERT_TRUE(watcher->problem());
  EXPECT_NE(watcher->problem()->find("max_user_watches"), std::string::npos);
  EXPECT_NE(watcher->problem()->find((scratch.path() / "run").string()), std::string::npos);
  watcher->retry();
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(watcher->problem()) << "still none to be had";
  EXPECT_EQ(reports, 0);

  exhausted = false;
  watcher->retry();
  for (int i = 0; i < 500 && reports == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(reports, 1) << "having the watches again brings one look";
  EXPECT_FALSE(watcher->problem());
  fs::create_directory(suffixes.parent_path());
  std::this_thread::sleep_for(100ms);
  reports = 0;
  writeFileAtomically(suffixes, "example.com\n", 0644);
  for (int i = 0; i < 500 && reports == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_GT(reports, 0) << "the directory made later is watched";
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
  const fs::path policy = scratch.path() / "policies/managed/t.json";
  const fs::path moved = scratch.path() / "moved";
  std::atomic<int> reports{0};
  auto watcher = systemProtectionWatcher(hosts, {nsswitch, policy});
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
      {"the link's target deleted", [&] { fs::remove(elsewhere / "hosts"); }, true},
      {"the link's target made again", [&] { std::ofstream(elsewhere / "hosts") << "e\n"; }, true},
      {"a watched file's missing directories made, with the file",
       [&] {
         fs::create_directories(policy.parent_path());
         std::ofstream(policy) << "{}";
       },
       true},
      {"that file emptied", [&] { fs::resize_file(policy, 0); }, true},
      {"its directories moved away", [&] { fs::rename(scratch.path() / "policies", moved); }, true},
      {"a file in the moved directories", [&] { fs::resize_file(moved / "managed/t.json", 1); },
       false},
      {"its directories removed",
       [&] {
         fs::create_directories(policy.parent_path());
         std::ofstream(policy) << "{}";
         std::this_thread::sleep_for(50ms);
         fs::remove_all(scratch.path() / "policies");
       },
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
