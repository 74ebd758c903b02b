#include "control/version.h"

#ifndef TAMRIN_VERSION
#error "TAMRIN_VERSION must be defined by the build"
#endif

namespace tamrin {

std::string_view tamrinVersion() { return TAMRIN_VERSION; }

}  // namespace tamrin
