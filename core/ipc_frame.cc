#include "core/ipc_frame.h"

#include <algorithm>
#include <limits>

namespace tamrin {
namespace {

void putU32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

void putOptionalBlob(std::string& out, const std::optional<std::string>& blob) {
  if (!blob) {
    out.push_back('\0');
    return;
  }
  if (blob->size() > kMaxFrameBodySize) throw IpcFrameError("IPC frame body is too large");
  out.push_back('\1');
  putU32(out, static_cast<std::uint32_t>(blob->size()));
  out += *blob;
}

std::string frameAround(const std::string& body) {
  if (body.size() > kMaxFrameBodySize) throw IpcFrameError("IPC frame body is too large");
  std::string frame(kFrameMagic);
  frame.push_back(static_cast<char>(kFrameVersion));
  putU32(frame, static_cast<std::uint32_t>(body.size()));
  return frame + body;
}

// Reads the fields of a body front to back; every read checks the remaining length.
class BodyReader {
 public:
  explicit BodyReader(std::string_view bytes) : rest_(bytes) {}

  std::uint32_t readUnsigned(std::size_t width) {
    const std::string_view bytes = take(width);
    std::uint32_t value = 0;
    for (char c : bytes) value = (value << 8) | static_cast<unsigned char>(c);
    return value;
  }

  std::string_view take(std::size_t count) {
    if (count > rest_.size()) throw IpcFrameError("IPC frame body is truncated");
    const std::string_view taken = rest_.substr(0, count);
    rest_.remove_prefix(count);
    return taken;
  }

  std::optional<std::string> readOptionalBlob() {
    switch (readUnsigned(1)) {
      case 0:
        return std::nullopt;
      case 1: {
        const std::uint32_t size = readUnsigned(4);
        return std::string(take(size));
      }
      default:
        throw IpcFrameError("IPC frame has an invalid presence byte");
    }
  }

  void expectEnd() const {
    if (!rest_.empty()) throw IpcFrameError("IPC frame body has trailing bytes");
  }

 private:
  std::string_view rest_;
};

}  // namespace

std::string encodeRequestFrame(const IpcRequest& request) {
  if (request.selector.size() > std::numeric_limits<std::uint16_t>::max()) {
    throw IpcFrameError("IPC selector is too long");
  }
  std::string body;
  body.push_back(static_cast<char>(request.selector.size() >> 8));
  body.push_back(static_cast<char>(request.selector.size()));
  body += request.selector;
  putOptionalBlob(body, request.argument);
  return frameAround(body);
}

std::string encodeReplyFrame(const IpcReply& reply) {
  std::string body;
  putOptionalBlob(body, reply.data);
  putOptionalBlob(body, reply.text);
  return frameAround(body);
}

IpcRequest decodeRequestBody(std::string_view body) {
  BodyReader reader(body);
  IpcRequest request;
  request.selector = std::string(reader.take(reader.readUnsigned(2)));
  request.argument = reader.readOptionalBlob();
  reader.expectEnd();
  return request;
}

IpcReply decodeReplyBody(std::string_view body) {
  BodyReader reader(body);
  IpcReply reply;
  reply.data = reader.readOptionalBlob();
  reply.text = reader.readOptionalBlob();
  reader.expectEnd();
  return reply;
}

std::size_t FrameAssembler::bytesWanted() const {
  if (!bodySize_) return kFrameHeaderSize - buffer_.size();
  return kFrameHeaderSize + *bodySize_ - buffer_.size();
}

std::size_t FrameAssembler::append(std::string_view bytes) {
  const std::size_t taken = std::min(bytes.size(), bytesWanted());
  buffer_ += bytes.substr(0, taken);
  if (bodySize_ || buffer_.size() < kFrameHeaderSize) return taken;
  if (std::string_view(buffer_).substr(0, kFrameMagic.size()) != kFrameMagic) {
    throw IpcFrameError("IPC frame does not start with TMRN");
  }
  if (static_cast<std::uint8_t>(buffer_[4]) != kFrameVersion) {
    throw IpcFrameError("IPC frame has an unsupported version");
  }
  const std::uint32_t size = BodyReader(std::string_view(buffer_).substr(5, 4)).readUnsigned(4);
  if (size > kMaxFrameBodySize) throw IpcFrameError("IPC frame body is larger than 1 MiB");
  bodySize_ = size;
  return taken + append(bytes.substr(taken));
}

std::string_view FrameAssembler::body() const {
  if (!complete()) throw std::logic_error("the IPC frame is not complete");
  return std::string_view(buffer_).substr(kFrameHeaderSize);
}

}  // namespace tamrin
