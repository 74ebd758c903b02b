#pragma once

#include <stdexcept>
#include <string>

namespace tamrin {

// The error kinds that the core library and the daemon detect themselves. Each carries a
// fixed user-facing message; what() is exactly that message.
class TamrinError : public std::exception {
 public:
  enum class Kind {
    packetFilter,
    corruptHostsBlock,
    domainResolution,
    focusRemovalLocked,
    invalidConfiguration,
    invalidPacketFilterAddress,
    noPolicy,
    policyUnavailable,
    policyAlreadyActive,
    unauthorizedChange,
  };

  explicit TamrinError(Kind kind, std::string detail = {});

  static TamrinError packetFilter(std::string detail) {
    return TamrinError(Kind::packetFilter, std::move(detail));
  }

  Kind kind() const { return kind_; }
  // The failure detail of a packetFilter error; empty for every other kind.
  const std::string& detail() const { return detail_; }
  const std::string& errorDescription() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  Kind kind_;
  std::string detail_;
  std::string message_;
};

}  // namespace tamrin
