#pragma once

#include <optional>
#include <string>

#include "core/daemon_protocol.h"

namespace tamrin {

// One request exactly as it travels today: clients already in use send these bytes, so the
// client must keep producing them and the daemon must keep serving them.
struct RequestOnTheWire {
  DaemonOperation operation;
  std::optional<Data> argument;
  std::string bytes;  // the whole frame, header included
};

inline const RequestOnTheWire kRequestsOnTheWire[] = {
    {DaemonOperation::getStatus, std::nullopt,
     std::string("TMRN\1\0\0\0\x16"
                 "\0\x13getStatusWithReply:\0",
                 31)},
    {DaemonOperation::enableBlocking, "{}",
     std::string("TMRN\1\0\0\0\x33"
                 "\0\x2a"
                 "enableBlockingWithConfiguration:withReply:\1\0\0\0\2{}",
                 60)},
    {DaemonOperation::updateConfiguration, "{}",
     std::string("TMRN\1\0\0\0\x38"
                 "\0\x2fupdateConfigurationWithConfiguration:withReply:\1\0\0\0\2{}",
                 65)},
    {DaemonOperation::prepareForRemoval, std::nullopt,
     std::string("TMRN\1\0\0\0\x1e"
                 "\0\x1bprepareForRemovalWithReply:\0",
                 39)},
};

}  // namespace tamrin
