#include "control/bounded_input.h"

#include <algorithm>
#include <array>
#include <istream>
#include <stdexcept>

namespace tamrin {

std::string readBoundedInput(std::istream& input, std::size_t limit) {
  std::string bytes;
  std::array<char, 64 * 1024> buffer;
  // One byte past the limit is enough to know that the input is too large.
  while (bytes.size() <= limit) {
    const std::size_t wanted = std::min(buffer.size(), limit + 1 - bytes.size());
    input.read(buffer.data(), static_cast<std::streamsize>(wanted));
    if (input.bad()) throw std::runtime_error("Standard input could not be read.");
    bytes.append(buffer.data(), static_cast<std::size_t>(input.gcount()));
    if (input.eof()) break;
    if (input.fail()) throw std::runtime_error("Standard input could not be read.");
  }
  if (bytes.size() > limit) {
    throw std::length_error("Configure reads at most " + std::to_string(limit) +
                            " bytes of standard input.");
  }
  return bytes;
}

}  // namespace tamrin
