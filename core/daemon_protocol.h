#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tamrin {

// The local endpoint name of the daemon.
inline constexpr std::string_view daemonServiceName = "app.tamrin.daemon";

// The four message selectors, as they travel on the wire.
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

}  // namespace tamrin
