#pragma once

#include <cstddef>
#include <span>

#include "pfctl/ip_address.h"

namespace tamrin {

// Deletes every connection-tracking entry whose original destination is one of `destinations`,
// from any source, and returns how many it deleted; one dump of the table serves them all. No
// entries (or no connection tracking in this kernel) is success. Throws PfctlError.
std::size_t killStatesTowards(std::span<const IpAddress> destinations);

}  // namespace tamrin
