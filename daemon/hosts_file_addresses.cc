#include "daemon/hosts_file_addresses.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "core/hosts_file.h"

namespace tamrin {

std::vector<std::string> hostsFileAddresses(std::string_view text,
                                            const std::vector<std::string>& hostnames) {
  const std::set<std::string> wanted(hostnames.begin(), hostnames.end());
  std::vector<std::string> addresses;
  // Lines hidden during an earlier block still name the sites.
  std::istringstream lines(HostsFile::withHiddenLinesShown(HostsFile::withoutManagedBlock(text)));
  for (std::string line; std::getline(lines, line);) {
    line.erase(std::min(line.find('#'), line.size()));
    std::istringstream fields(line);
    std::string address;
    if (!(fields >> address)) continue;
    for (std::string name; fields >> name;) {
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (wanted.contains(name)) {
        addresses.push_back(address);
        break;
      }
    }
  }
  return addresses;
}

}  // namespace tamrin
