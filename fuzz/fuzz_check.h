#pragma once

#include <cstdlib>

namespace tamrin {

// Stops the fuzzer with a crash report when an invariant of the code under test fails.
inline void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace tamrin
