#pragma once

#include <string_view>

namespace tamrin {

// The version of this build: the one at the top of debian/changelog, or the one a package
// build passed in (which may say that the tree had uncommitted changes).
std::string_view tamrinVersion();

}  // namespace tamrin
