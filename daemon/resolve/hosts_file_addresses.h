#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tamrin {

// The addresses that the lines of a hosts file's `text` outside its managed block give to any
// of `hostnames` (lower case), in the file's order, as the system resolver's "files" source
// would find them: comments dropped, names compared without regard to case. Lines that are not
// "address name..." give nothing. Throws TamrinError corruptHostsBlock for unbalanced markers.
std::vector<std::string> hostsFileAddresses(std::string_view text,
                                            const std::vector<std::string>& hostnames);

}  // namespace tamrin
