#pragma once

#include <string>
#include <vector>

namespace tamrin {

// The host names to block for the configured domains: each domain D, then "www." + D, then
// the sibling names of a few well-known sites; first occurrences only, in order. A suffix rule
// "*." + D gives the names of D.
std::vector<std::string> blockedHostnames(const std::vector<std::string>& domains);

}  // namespace tamrin
