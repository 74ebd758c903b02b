#include "core/json_coding.h"

#include <gtest/gtest.h>

#include "core/json_error.h"

namespace tamrin {
namespace {

// `depth` arrays inside each other.
std::string nested(int depth) {
  return std::string(static_cast<size_t>(depth), '[') +
         std::string(static_cast<size_t>(depth), ']');
}

TEST(JsonCodingTest, NestingIsAcceptedUpToTheLimitAndRefusedPastIt) {
  // The top-level value and 32 levels inside it: deeper than any record of the system.
  constexpr int kDeepestAccepted = 1 + 32;
  EXPECT_NO_THROW(parseJson(nested(kDeepestAccepted)));
  EXPECT_THROW(parseJson(nested(kDeepestAccepted + 1)), JsonError);
}

}  // namespace
}  // namespace tamrin
