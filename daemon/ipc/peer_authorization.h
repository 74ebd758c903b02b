#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/daemon_protocol.h"

namespace tamrin {

// The system group whose members, besides root, may change the schedule.
inline constexpr std::string_view kScheduleGroupName = "tamrin";

// Who is at the other end of a connection, as the kernel recorded it at connect time.
struct PeerCredentials {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> supplementaryGroups;
};

// A group of the accounts database: its id and the user names it lists as members.
struct AccountGroup {
  gid_t gid = 0;
  std::vector<std::string> members;
};

// The accounts database as authorization sees it. Each lookup is absent when the entry does
// not exist or cannot be read.
struct AccountLookup {
  std::function<std::optional<AccountGroup>(const std::string& name)> group;
  std::function<std::optional<std::string>(uid_t uid)> userName;

  // getgrnam_r and getpwuid_r, through the name service switch.
  static AccountLookup system();
};

// The uid, gid and supplementary groups of the peer of a connected Unix socket
// (SO_PEERCRED, SO_PEERGROUPS); absent when they cannot be read. A kernel without
// SO_PEERGROUPS gives no supplementary groups.
std::optional<PeerCredentials> readPeerCredentials(int connection);

// Decides which peers may call which operation. Status is served to every peer, even one
// whose credentials could not be read: it changes nothing. Every other operation is allowed
// only to uid 0 and to members of kScheduleGroupName, looked up afresh at each call: a peer
// whose gid or supplementary groups include the group's gid, or whose user name the group
// lists. With no such group only root may change; without credentials nobody may.
// Thread-safe when the seams are.
class PeerAuthorization {
 public:
  using CredentialReader = std::function<std::optional<PeerCredentials>(int connection)>;

  explicit PeerAuthorization(CredentialReader credentials = readPeerCredentials,
                             AccountLookup accounts = AccountLookup::system());

  std::optional<PeerCredentials> credentials(int connection) const;
  bool allows(DaemonOperation operation, const std::optional<PeerCredentials>& peer) const;

 private:
  bool mayChangeSchedule(const PeerCredentials& peer) const;

  CredentialReader credentials_;
  AccountLookup accounts_;
};

}  // namespace tamrin
