#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tamrin {

// The message of a wrong command line, also printed by `help`.
inline constexpr std::string_view kUsageMessage = "Usage: tamrinctl status | configure";

// The control tool's own failures. what() is the exact user-facing message; exitStatus() is
// 2 for a wrong command line and 1 for everything else.
class ControlError : public std::exception {
 public:
  enum class Kind { invalidInvocation, missingInput, invalidConfiguration };

  explicit ControlError(Kind kind);

  static ControlError invalidInvocation() { return ControlError(Kind::invalidInvocation); }
  static ControlError missingInput() { return ControlError(Kind::missingInput); }
  static ControlError invalidConfiguration() { return ControlError(Kind::invalidConfiguration); }

  Kind kind() const { return kind_; }
  int exitStatus() const { return kind_ == Kind::invalidInvocation ? 2 : 1; }
  const std::string& errorDescription() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  bool operator==(const ControlError& other) const { return kind_ == other.kind_; }

 private:
  Kind kind_;
  std::string message_;
};

}  // namespace tamrin
