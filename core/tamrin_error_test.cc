#include "core/tamrin_error.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tamrin {
namespace {

TEST(TamrinErrorTest, MessagesByteForByte) {
  using Kind = TamrinError::Kind;
  struct Case {
    Kind kind;
    const char* message;
  } const cases[] = {
      {Kind::corruptHostsBlock, "The Tamrin hosts block is incomplete; no changes were made."},
      {Kind::domainResolution, "The blocked sites could not be resolved for network enforcement."},
      {Kind::focusRemovalLocked,
       "Tamrin can\xE2\x80\x99t be removed during an active block. Try again when access returns."},
      {Kind::invalidConfiguration, "The Focus settings are invalid."},
      {Kind::invalidPacketFilterAddress, "Tamrin received an invalid network address."},
      {Kind::noPolicy, "Blocking is not enabled."},
      {Kind::policyUnavailable,
       "Tamrin can\xE2\x80\x99t safely read its blocking state. Restart the computer and try "
       "again."},
      {Kind::policyAlreadyActive, "Blocking is already enabled."},
      {Kind::unauthorizedChange,
       "Only root and members of the group tamrin can change Tamrin\xE2\x80\x99s schedule."},
  };
  for (const auto& c : cases) {
    const TamrinError error(c.kind);
    EXPECT_STREQ(error.what(), c.message);
    EXPECT_EQ(error.errorDescription(), c.message);
  }
  EXPECT_EQ(std::strlen(TamrinError(Kind::focusRemovalLocked).what()), 80u);
  EXPECT_EQ(std::strlen(TamrinError(Kind::policyUnavailable).what()), 82u);
}

TEST(TamrinErrorTest, PacketFilterAppendsTheDetailUnchanged) {
  EXPECT_STREQ(TamrinError::packetFilter("").what(), "The packet filter failed: ");
  EXPECT_EQ(std::strlen(TamrinError::packetFilter("").what()), 26u);
  EXPECT_STREQ(TamrinError::packetFilter("x").what(), "The packet filter failed: x");
  EXPECT_STREQ(TamrinError::packetFilter(" \"two lines\"\n").what(),
               "The packet filter failed:  \"two lines\"\n");
  EXPECT_EQ(TamrinError::packetFilter("x").detail(), "x");
  // A detail belongs to the packet-filter kind alone.
  EXPECT_STREQ(TamrinError(TamrinError::Kind::noPolicy, "ignored").what(),
               "Blocking is not enabled.");
}

}  // namespace
}  // namespace tamrin
