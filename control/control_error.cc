#include "control/control_error.h"

namespace tamrin {

namespace {

std::string_view messageFor(ControlError::Kind kind) {
  switch (kind) {
    case ControlError::Kind::invalidInvocation:
      return kUsageMessage;
    case ControlError::Kind::missingInput:
      return "Configure expects one JSON object on standard input.";
    case ControlError::Kind::invalidConfiguration:
      return "Choose at least one valid day and site, with different start and end times.";
  }
  return kUsageMessage;
}

}  // namespace

ControlError::ControlError(Kind kind) : kind_(kind), message_(messageFor(kind)) {}

}  // namespace tamrin
