#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/daemon_protocol.h"

namespace tamrin {

// A frame is "TMRN", version byte 1, a big-endian u32 body length, then the body.
inline constexpr std::string_view kFrameMagic = "TMRN";
inline constexpr std::uint8_t kFrameVersion = 1;
inline constexpr std::size_t kFrameHeaderSize = 9;
inline constexpr std::uint32_t kMaxFrameBodySize = 1024 * 1024;

// Bytes that break the wire format: wrong magic or version, a body over the limit, a body that
// is truncated or has bytes left over. what() is one line.
class IpcFrameError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One request: a selector and an optional data argument.
struct IpcRequest {
  std::string selector;
  std::optional<Data> argument;

  bool operator==(const IpcRequest&) const = default;
};

// One reply: the optional data, then the optional text.
struct IpcReply {
  std::optional<Data> data;
  std::optional<std::string> text;

  bool operator==(const IpcReply&) const = default;
};

// Whole frames, header included. Throw IpcFrameError when the body would exceed
// kMaxFrameBodySize or a selector is longer than 65535 bytes.
std::string encodeRequestFrame(const IpcRequest& request);
std::string encodeReplyFrame(const IpcReply& reply);

// Frame bodies (without the header). Throw IpcFrameError unless `body` is exactly one
// well-formed request or reply.
IpcRequest decodeRequestBody(std::string_view body);
IpcReply decodeReplyBody(std::string_view body);

// Collects one frame from a byte stream. It never asks for more bytes than the frame holds, so
// a reader that reads at most bytesWanted() never consumes anything after the frame. Memory
// grows only with the bytes actually received.
class FrameAssembler {
 public:
  // Bytes still missing before the frame is complete; 0 once it is.
  std::size_t bytesWanted() const;
  bool complete() const { return bytesWanted() == 0; }

  // Takes bytes from the front of `bytes`, never more than bytesWanted(), and returns how many
  // it took. Throws IpcFrameError as soon as the header is complete and wrong.
  std::size_t append(std::string_view bytes);

  // The body of the complete frame.
  std::string_view body() const;

 private:
  std::string buffer_;  // header, then as much of the body as has arrived
  std::optional<std::uint32_t> bodySize_;
};

}  // namespace tamrin
