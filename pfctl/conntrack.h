#pragma once

#include <cstddef>

#include "pfctl/ip_address.h"

namespace tamrin {

// Deletes every connection-tracking entry whose original destination is `destination`, from
// any source, and returns how many it deleted. No entries (or no connection tracking in this
// kernel) is success. Throws PfctlError.
std::size_t killStatesTowards(const IpAddress& destination);

}  // namespace tamrin
