#include "daemon/resolve/hosts_file_addresses.h"

#include "core/hosts_file.h"

namespace tamrin {

std::vector<std::string> hostsFileAddresses(std::string_view text,
                                            const std::vector<std::string>& hostnames) {
  // Lines hidden during an earlier block still name the sites.
  return HostsFile::addressesNaming(
      HostsFile::withHiddenLinesShown(HostsFile::withoutManagedBlock(text)), hostnames);
}

}  // namespace tamrin
