#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

namespace tamrin {

// The most that `configure` reads from standard input: far more than any schedule needs, and
// the most one request frame to the daemon can carry.
inline constexpr std::size_t kMaximumInputBytes = std::size_t{1} << 20;

// Reads `input` to its end, but never more than `limit` + 1 bytes. Throws std::length_error
// when the input holds more than `limit` bytes, std::runtime_error when reading fails.
std::string readBoundedInput(std::istream& input, std::size_t limit = kMaximumInputBytes);

}  // namespace tamrin
