#include "daemon/ipc/peer_authorization.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include "core/ipc_socket.h"

namespace tamrin {
namespace {

constexpr gid_t kTamrinGid = 990;
constexpr uid_t kAlice = 1000;  // the user the fake database knows by name

// What the fake accounts database holds for the group: nothing, or the gid and member list.
enum class Group { missing, empty, listsAlice };

AccountLookup fakeAccounts(Group group) {
  return AccountLookup{
      .group = [group](const std::string& name) -> std::optional<AccountGroup> {
        if (name != "tamrin" || group == Group::missing) return std::nullopt;
        if (group == Group::empty) return AccountGroup{.gid = kTamrinGid, .members = {}};
        return AccountGroup{.gid = kTamrinGid, .members = {"bob", "alice"}};
      },
      .userName = [](uid_t uid) -> std::optional<std::string> {
        if (uid == kAlice) return "alice";
        return std::nullopt;
      },
  };
}

TEST(PeerAuthorizationTest, OnlyRootAndGroupMembersMayChangeTheScheduleEveryoneMayReadIt) {
  const std::optional<PeerCredentials> unreadable;
  const PeerCredentials root{.uid = 0, .gid = 0, .supplementaryGroups = {}};
  const PeerCredentials byGid{.uid = 1001, .gid = kTamrinGid, .supplementaryGroups = {}};
  const PeerCredentials bySupplementary{.uid = 1002, .gid = 1002,
                                        .supplementaryGroups = {27, kTamrinGid}};
  const PeerCredentials alice{.uid = kAlice, .gid = 1000, .supplementaryGroups = {27}};
  const PeerCredentials stranger{.uid = 65534, .gid = 65534, .supplementaryGroups = {27}};
  struct Case {
    const char* name;
    std::optional<PeerCredentials> peer;
    Group group;
    bool mayChange;
  } const cases[] = {
      {"root", root, Group::listsAlice, true},
      {"root without the group", root, Group::missing, true},
      {"member by primary gid", byGid, Group::empty, true},
      {"member by supplementary group", bySupplementary, Group::empty, true},
      {"member by name in the list only", alice, Group::listsAlice, true},
      {"named user, group lists nobody", alice, Group::empty, false},
      {"non-member", stranger, Group::listsAlice, false},
      {"member by gid, group missing", byGid, Group::missing, false},
      {"named user, group missing", alice, Group::missing, false},
      {"unreadable credentials", unreadable, Group::listsAlice, false},
  };
  for (const Case& c : cases) {
    const PeerAuthorization authorization(nullptr, fakeAccounts(c.group));
    EXPECT_TRUE(authorization.allows(DaemonOperation::getStatus, c.peer)) << c.name;
    for (DaemonOperation change :
         {DaemonOperation::enableBlocking, DaemonOperation::updateConfiguration,
          DaemonOperation::prepareForRemoval}) {
      EXPECT_EQ(authorization.allows(change, c.peer), c.mayChange)
          << c.name << ", operation " << static_cast<int>(change);
    }
  }
}

TEST(PeerAuthorizationTest, TheGroupIsLookedUpAtEveryRequest) {
  Group group = Group::missing;
  AccountLookup accounts = fakeAccounts(Group::listsAlice);
  accounts.group = [&group](const std::string& name) { return fakeAccounts(group).group(name); };
  const PeerAuthorization authorization(nullptr, accounts);
  const PeerCredentials alice{.uid = kAlice, .gid = 1000, .supplementaryGroups = {}};
  EXPECT_FALSE(authorization.allows(DaemonOperation::enableBlocking, alice));
  group = Group::listsAlice;  // `adduser alice tamrin`, no new login
  EXPECT_TRUE(authorization.allows(DaemonOperation::enableBlocking, alice));
}

TEST(PeerAuthorizationTest, ReadsTheCredentialsOfTheOtherEnd) {
  std::array<int, 2> pair{};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()), 0);
  const UniqueFd ours(pair[0]), theirs(pair[1]);
  const std::optional<PeerCredentials> peer = readPeerCredentials(ours.get());
  ASSERT_TRUE(peer.has_value());
  EXPECT_EQ(peer->uid, ::geteuid());
  EXPECT_EQ(peer->gid, ::getegid());
  std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)));
  groups.resize(static_cast<std::size_t>(::getgroups(static_cast<int>(groups.size()), groups.data())));
  EXPECT_EQ(peer->supplementaryGroups, groups);

  EXPECT_EQ(readPeerCredentials(-1), std::nullopt);
}

}  // namespace
}  // namespace tamrin
