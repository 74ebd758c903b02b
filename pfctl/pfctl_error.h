#pragma once

#include <stdexcept>
#include <string>

namespace tamrin {

// A failure of tamrin-pfctl, with the one-line text the tool prints on standard error.
class PfctlError : public std::runtime_error {
 public:
  explicit PfctlError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tamrin
