#pragma once

#include <stdexcept>
#include <string>

namespace tamrin {

// The one error type of JSON coding: one readable line naming the key or the position.
class JsonError : public std::runtime_error {
 public:
  explicit JsonError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tamrin
