#include "core/tamrin_error.h"

namespace tamrin {
namespace {

std::string messageFor(TamrinError::Kind kind, const std::string& detail) {
  using Kind = TamrinError::Kind;
  switch (kind) {
    case Kind::packetFilter:
      return "The packet filter failed: " + detail;
    case Kind::corruptHostsBlock:
      return "The Tamrin hosts block is incomplete; no changes were made.";
    case Kind::domainResolution:
      return "The blocked sites could not be resolved for network enforcement.";
    case Kind::focusRemovalLocked:
      return "Tamrin can\u2019t be removed during an active block. Try again when access returns.";
    case Kind::invalidConfiguration:
      return "The Focus settings are invalid.";
    case Kind::invalidPacketFilterAddress:
      return "Tamrin received an invalid network address.";
    case Kind::noPolicy:
      return "Blocking is not enabled.";
    case Kind::policyUnavailable:
      return "Tamrin can\u2019t safely read its blocking state. Restart the computer and try "
             "again.";
    case Kind::policyAlreadyActive:
      return "Blocking is already enabled.";
    case Kind::unauthorizedChange:
      return "Only root and members of the group tamrin can change Tamrin\u2019s schedule.";
  }
  return {};
}

}  // namespace

TamrinError::TamrinError(Kind kind, std::string detail)
    : kind_(kind),
      detail_(kind == Kind::packetFilter ? std::move(detail) : std::string()),
      message_(messageFor(kind_, detail_)) {}

}  // namespace tamrin
