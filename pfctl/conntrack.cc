#include "pfctl/conntrack.h"

#include <libnetfilter_conntrack/libnetfilter_conntrack.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pfctl/pfctl_error.h"

namespace tamrin {
namespace {

struct HandleCloser {
  void operator()(nfct_handle* handle) const { nfct_close(handle); }
};
struct EntryDestroyer {
  void operator()(nf_conntrack* entry) const { nfct_destroy(entry); }
};
using Entry = std::unique_ptr<nf_conntrack, EntryDestroyer>;

struct Search {
  std::set<IpAddress> destinations;
  std::vector<Entry> matches;
};

// The original destination of `entry`, when it is IPv4 or IPv6.
std::optional<IpAddress> destinationOf(const nf_conntrack* entry) {
  IpAddress address;
  address.family = nfct_get_attr_u8(entry, ATTR_L3PROTO);
  if (address.family != AF_INET && address.family != AF_INET6) return std::nullopt;
  const bool v4 = address.family == AF_INET;
  const void* bytes = nfct_get_attr(entry, v4 ? ATTR_ORIG_IPV4_DST : ATTR_ORIG_IPV6_DST);
  if (bytes == nullptr) return std::nullopt;
  std::memcpy(address.bytes.data(), bytes, v4 ? 4 : 16);
  return address;
}

int collect(enum nf_conntrack_msg_type, nf_conntrack* entry, void* data) {
  auto* search = static_cast<Search*>(data);
  const auto destination = destinationOf(entry);
  if (destination && search->destinations.contains(*destination)) {
    search->matches.emplace_back(nfct_clone(entry));
  }
  return NFCT_CB_CONTINUE;
}

// Errors that mean this kernel keeps no connection states to delete.
bool meansNoTracking(int error) {
  return error == ENOENT || error == EOPNOTSUPP || error == EPROTONOSUPPORT;
}

[[noreturn]] void fail(const std::string& what, int error) {
  throw PfctlError("conntrack: " + what + ": " + std::strerror(error));
}

}  // namespace

std::size_t killStatesTowards(std::span<const IpAddress> destinations) {
  if (destinations.empty()) return 0;
  std::unique_ptr<nfct_handle, HandleCloser> handle(nfct_open(CONNTRACK, 0));
  if (!handle) {
    if (meansNoTracking(errno)) return 0;
    fail("cannot open the netlink interface", errno);
  }

  Search search{.destinations = {destinations.begin(), destinations.end()}, .matches = {}};
  nfct_callback_register(handle.get(), NFCT_T_ALL, collect, &search);
  // One dump per family asked for, of that family's entries alone.
  std::set<uint32_t> families;
  for (const IpAddress& destination : destinations) families.insert(destination.family);
  for (uint32_t family : families) {
    if (nfct_query(handle.get(), NFCT_Q_DUMP, &family) != 0) {
      if (meansNoTracking(errno)) return 0;
      fail("cannot list the connection states", errno);
    }
  }
  nfct_callback_unregister(handle.get());

  std::size_t deleted = 0;
  for (const Entry& entry : search.matches) {
    if (!entry) fail("cannot copy a connection state", ENOMEM);
    if (nfct_query(handle.get(), NFCT_Q_DESTROY, entry.get()) == 0) {
      ++deleted;
    } else if (errno != ENOENT) {  // ENOENT: it ended meanwhile
      fail("cannot delete a connection state", errno);
    }
  }
  return deleted;
}

}  // namespace tamrin
