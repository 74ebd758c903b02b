#pragma once

#include <cstddef>

namespace tamrin {

// Whether a buffer of nftables netlink event messages holds one about the table "inet tamrin"
// (a table, chain, rule, set, element or object of it added, changed or deleted). Messages
// that name no table count as about it; generation announcements do not count.
bool concernsAnchorTable(const void* messages, std::size_t length);

}  // namespace tamrin
