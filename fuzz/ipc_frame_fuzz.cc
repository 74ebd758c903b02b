// Feeds arbitrary bytes to the frame assembler and both body decoders. Whatever decodes must
// encode back to exactly the bytes it came from, and feeding byte by byte must agree with
// feeding everything at once.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/ipc_frame.h"

namespace {

using tamrin::FrameAssembler;
using tamrin::IpcFrameError;

// The frame at the front of `input`, or nothing when it is bad or incomplete.
std::optional<std::string> assembleAtOnce(std::string_view input) {
  FrameAssembler frame;
  try {
    const std::size_t taken = frame.append(input);
    if (!frame.complete()) return std::nullopt;
    if (frame.body().size() + tamrin::kFrameHeaderSize != taken) std::abort();
    return std::string(input.substr(0, taken));
  } catch (const IpcFrameError&) {
    return std::nullopt;
  }
}

std::optional<std::string> assembleByteByByte(std::string_view input) {
  FrameAssembler frame;
  try {
    for (std::size_t i = 0; i < input.size() && !frame.complete(); ++i) {
      if (frame.append(input.substr(i, 1)) != 1) std::abort();
    }
    if (!frame.complete()) return std::nullopt;
    return std::string(input.substr(0, tamrin::kFrameHeaderSize + frame.body().size()));
  } catch (const IpcFrameError&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> frame = assembleAtOnce(input);
  if (frame != assembleByteByByte(input)) std::abort();
  if (!frame) return 0;
  const std::string_view body = std::string_view(*frame).substr(tamrin::kFrameHeaderSize);
  try {
    if (tamrin::encodeRequestFrame(tamrin::decodeRequestBody(body)) != *frame) std::abort();
  } catch (const IpcFrameError&) {
  }
  try {
    if (tamrin::encodeReplyFrame(tamrin::decodeReplyBody(body)) != *frame) std::abort();
  } catch (const IpcFrameError&) {
  }
  return 0;
}
