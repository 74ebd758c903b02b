#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace tamrin {

// Where the reference tokens on the filter's enabled state are recorded.
inline constexpr std::string_view kTokenStorePath = "/run/tamrin/pf-tokens";

// Runs tamrin-pfctl with `arguments` (without the program name): prints the command's output
// on `out` and returns 0, or prints one line "tamrin-pfctl: <reason>" on `err` and returns 1.
// An argument list it does not accept is refused before anything is changed.
int runPfctl(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

}  // namespace tamrin
