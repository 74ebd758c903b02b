#pragma once

#include <cstddef>
#include <optional>

struct mnl_socket;

namespace tamrin {

// Whether a buffer of nftables netlink event messages holds one about the table "inet tamrin"
// (a table, chain, rule, set, element or object of it added, changed or deleted): a change
// that is ours to repair. Messages that name no table count as about it; generation
// announcements do not count.
bool concernsAnchorTable(const void* messages, std::size_t length);

// A netlink socket on the nftables multicast group, on which the kernel announces every change
// of the ruleset, whoever makes it (the daemon's own too).
class NftablesEventSocket {
 public:
  // Throws std::system_error when the socket cannot be opened or the group joined.
  NftablesEventSocket();
  ~NftablesEventSocket();
  NftablesEventSocket(const NftablesEventSocket&) = delete;
  NftablesEventSocket& operator=(const NftablesEventSocket&) = delete;

  // Non-blocking; readable when announcements are pending.
  int fd() const;
  // Reads the pending announcements: whether one concerns the anchor's table (announcements
  // lost to a full socket buffer count as such); nullopt when the socket failed for good.
  std::optional<bool> drain();

 private:
  mnl_socket* socket_ = nullptr;
};

}  // namespace tamrin
