#include "daemon/ipc/peer_authorization.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tamrin {
namespace {

// The *_r lookups want a buffer of their own; an entry too large for it is retried with a
// larger one, up to a bound that no sane entry reaches.
constexpr std::size_t kInitialEntryBuffer = 4096;
constexpr std::size_t kMaxEntryBuffer = 1 << 20;

// Runs `lookup`, a *_r call on the buffer it is given, again with a larger buffer while the
// entry does not fit; returns the call's error number. Whatever the entry points to lives in
// that buffer, so `lookup` copies out what it needs.
template <typename Lookup>
int withGrowingBuffer(Lookup lookup) {
  std::vector<char> buffer(kInitialEntryBuffer);
  for (;;) {
    const int error = lookup(buffer);
    if (error != ERANGE || buffer.size() >= kMaxEntryBuffer) return error;
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<AccountGroup> systemGroup(const std::string& name) {
  std::optional<AccountGroup> result;
  withGrowingBuffer([&](std::vector<char>& buffer) {
    group entry{};
    group* found = nullptr;
    const int error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error != 0 || found == nullptr) return error;
    result = AccountGroup{.gid = entry.gr_gid, .members = {}};
    for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
      result->members.emplace_back(*member);
    }
    return 0;
  });
  return result;
}

std::optional<std::string> systemUserName(uid_t uid) {
  std::optional<std::string> result;
  withGrowingBuffer([&](std::vector<char>& buffer) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (error == 0 && found != nullptr && entry.pw_name != nullptr) result = entry.pw_name;
    return error;
  });
  return result;
}

}  // namespace

AccountLookup AccountLookup::system() {
  return AccountLookup{.group = systemGroup, .userName = systemUserName};
}

std::optional<PeerCredentials> readPeerCredentials(int connection) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return std::nullopt;
  }
  PeerCredentials peer{.uid = credentials.uid, .gid = credentials.gid, .supplementaryGroups = {}};
  // The kernel says how many groups there are when the buffer is too small.
  std::vector<gid_t> groups(16);
  for (int attempt = 0; attempt < 4; ++attempt) {
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
      groups.resize(bytes / sizeof(gid_t));
      peer.supplementaryGroups = std::move(groups);
      return peer;
    }
    if (errno == ENOPROTOOPT) return peer;
    if (errno != ERANGE) return std::nullopt;
    groups.resize(bytes / sizeof(gid_t) + 1);
  }
  return std::nullopt;
}

PeerAuthorization::PeerAuthorization(CredentialReader credentials, AccountLookup accounts)
    : credentials_(std::move(credentials)), accounts_(std::move(accounts)) {}

std::optional<PeerCredentials> PeerAuthorization::credentials(int connection) const {
  return credentials_(connection);
}

bool PeerAuthorization::allows(DaemonOperation operation,
                               const std::optional<PeerCredentials>& peer) const {
  if (operation == DaemonOperation::getStatus) return true;
  return peer.has_value() && mayChangeSchedule(*peer);
}

bool PeerAuthorization::mayChangeSchedule(const PeerCredentials& peer) const {
  if (peer.uid == 0) return true;
  const std::optional<AccountGroup> group = accounts_.group(std::string(kScheduleGroupName));
  if (!group) return false;
  if (peer.gid == group->gid ||
      std::find(peer.supplementaryGroups.begin(), peer.supplementaryGroups.end(), group->gid) !=
          peer.supplementaryGroups.end()) {
    return true;
  }
  const std::optional<std::string> name = accounts_.userName(peer.uid);
  return name && std::find(group->members.begin(), group->members.end(), *name) !=
                     group->members.end();
}

}  // namespace tamrin
