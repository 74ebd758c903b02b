#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tamrin {

// The four message selectors, as they travel on the wire (see ProtocolOperation).
inline constexpr std::string_view kGetStatusSelector = "getStatusWithReply:";
inline constexpr std::string_view kEnableBlockingSelector =
    "enableBlockingWithConfiguration:withReply:";
inline constexpr std::string_view kUpdateConfigurationSelector =
    "updateConfigurationWithConfiguration:withReply:";
inline constexpr std::string_view kPrepareForRemovalSelector = "prepareForRemovalWithReply:";

// A data blob: raw bytes (JSON on this channel).
using Data = std::string;

// A reply: an optional data blob and an optional text. A present text means failure,
// whatever the data; an absent text means success with the data (present or not) as result.
using Reply = std::function<void(std::optional<Data> data, std::optional<std::string> text)>;

// What the daemon exports to every admitted connection. Each operation calls its reply
// function exactly once.
class TamrinDaemonProtocol {
 public:
  virtual ~TamrinDaemonProtocol() = default;
  virtual void getStatus(Reply reply) = 0;
  virtual void enableBlocking(const Data& configuration, Reply reply) = 0;
  virtual void updateConfiguration(const Data& configuration, Reply reply) = 0;
  virtual void prepareForRemoval(Reply reply) = 0;
};

enum class DaemonOperation { getStatus, enableBlocking, updateConfiguration, prepareForRemoval };

// One row of the request table the client and the listener share: the selector a request
// carries, whether it carries a data argument, and the call it becomes on the exported object.
struct ProtocolOperation {
  DaemonOperation operation;
  std::string_view selector;
  bool takesArgument;
  // Requires an argument exactly when `takesArgument`.
  void (*dispatch)(TamrinDaemonProtocol& exported, const std::optional<Data>& argument,
                   Reply reply);

  // Whether a request for this operation may carry (or lack) `argument`.
  bool accepts(const std::optional<Data>& argument) const {
    return argument.has_value() == takesArgument;
  }
};

// The row of `operation`.
const ProtocolOperation& protocolOperation(DaemonOperation operation);
// The operation a request names, or null for a selector that names none. Selectors match
// byte for byte.
const ProtocolOperation* findProtocolOperation(std::string_view selector);

}  // namespace tamrin
