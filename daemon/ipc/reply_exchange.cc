#include "daemon/ipc/reply_exchange.h"

#include <cerrno>
#include <string_view>
#include <utility>

#include "core/ipc_frame.h"

namespace tamrin {

PendingReply::Progress PendingReply::send() {
  const SendProgress progress = sendWhatFits(fd_.get(), std::string_view(frame_).substr(sent_));
  sent_ += progress.sent;
  if (progress.error == 0) return Progress::sent;
  return progress.error == EAGAIN ? Progress::blocked : Progress::failed;
}

void ReplyExchange::reply(std::optional<Data> data, std::optional<std::string> text) noexcept {
  if (replied_.exchange(true)) return;
  try {
    std::string frame;
    try {
      frame = encodeReplyFrame(IpcReply{std::move(data), std::move(text)});
    } catch (const IpcFrameError& error) {
      frame = encodeReplyFrame(IpcReply{std::nullopt, std::string(error.what())});
    }
    PendingReply pending(std::move(fd_), std::move(frame));
    if (pending.send() == PendingReply::Progress::blocked) handOver_(std::move(pending));
  } catch (...) {
    // Out of memory, or the hand-over failed: the connection closes without a reply.
  }
  fd_.reset();
}

}  // namespace tamrin
