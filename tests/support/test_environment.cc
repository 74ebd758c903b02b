// Linked into every test program: gives the tests the locations of the built bundle and of
// the repository, unless the environment already names them.
#include <cstdlib>

namespace {

const bool kEnvironmentSet = [] {
  ::setenv("TAMRIN_BUNDLE_DIR", TAMRIN_TEST_BUNDLE_DIR, 0);
  ::setenv("TAMRIN_SOURCE_DIR", TAMRIN_TEST_SOURCE_DIR, 0);
  return true;
}();

}  // namespace
