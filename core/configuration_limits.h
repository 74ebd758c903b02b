#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "core/configuration.h"
#include "core/daemon_status.h"
#include "core/ipc_frame.h"

namespace tamrin {

// The largest configuration the daemon takes: its domains, and its compact JSON. Two of them
// (the running and the staged one) fill at most half of a status reply.
inline constexpr std::size_t kMaxConfigurationDomains = 10000;
inline constexpr std::size_t kMaxConfigurationBytes = 256 * 1024;

// The longest status record a reply frame carries: the frame body less the reply's own
// fields (a present data blob with its length, an absent text).
inline constexpr std::size_t kMaxStatusBytes = kMaxFrameBodySize - 6;

// A configuration over the limits above. what() is one line naming the limits.
class ConfigurationTooLargeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws ConfigurationTooLargeError when `configuration` has more domains, or a longer
// encoding, than the limits allow.
void requireReportableSize(const TamrinConfiguration& configuration);

// The encoded status, at most `limit` bytes long. When the whole record would be longer (a
// policy stored before the limits, or many resolved addresses), each list of resolved
// addresses, and then each list of domains, keeps only the entries from its start that fit in
// 192 KiB. With the limits above, domains are never cut and the result fits kMaxStatusBytes.
std::string encodeReportableStatus(DaemonStatus status, std::size_t limit = kMaxStatusBytes);

}  // namespace tamrin
