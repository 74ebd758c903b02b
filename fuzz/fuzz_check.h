#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <vector>

namespace tamrin {

// Stops the fuzzer with a crash report when an invariant of the code under test fails.
inline void check(bool condition) {
  if (!condition) std::abort();
}

// The bounds of the pieces a stream of `size` bytes is cut into at `cuts` (each clamped to
// the stream): 0, the cuts in ascending order, `size`. Piece i runs from bound i to bound i+1.
inline std::vector<std::size_t> pieceBounds(std::vector<std::size_t> cuts, std::size_t size) {
  cuts.push_back(0);
  cuts.push_back(size);
  for (std::size_t& cut : cuts) cut = std::min(cut, size);
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

}  // namespace tamrin
