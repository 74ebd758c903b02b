#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "core/daemon_protocol.h"
#include "core/ipc_socket.h"

namespace tamrin {

// One reply frame on its way to a client over a non-blocking socket, which closes with it.
class PendingReply {
 public:
  enum class Progress {
    sent,     // the whole frame is out
    blocked,  // the client has not made room for the rest yet
    failed,   // the client is gone or the socket broke: the rest can never be sent
  };

  PendingReply(UniqueFd fd, std::string frame) : fd_(std::move(fd)), frame_(std::move(frame)) {}

  // Sends what the socket takes now, never waiting (see sendWhatFits()).
  Progress send();

  int fd() const { return fd_.get(); }
  std::size_t unsent() const { return frame_.size() - sent_; }

 private:
  UniqueFd fd_;
  std::string frame_;
  std::size_t sent_ = 0;
};

// The answering side of one connection: the first reply is taken and the rest dropped. A reply
// too large for a frame becomes a failure text, so the client is told instead of left with a
// frame it must refuse. What the socket does not take at once goes to `handOver` (the accept
// loop), so the replying thread, and whatever lock its caller holds, never waits for a client.
class ReplyExchange {
 public:
  using HandOver = std::function<void(PendingReply)>;

  ReplyExchange(UniqueFd fd, HandOver handOver)
      : fd_(std::move(fd)), handOver_(std::move(handOver)) {}

  // Callable from any thread, any number of times; never throws. When nothing can be sent the
  // client sees the connection close without a reply.
  void reply(std::optional<Data> data, std::optional<std::string> text) noexcept;

 private:
  UniqueFd fd_;  // touched only by the first reply
  HandOver handOver_;
  std::atomic<bool> replied_{false};
};

}  // namespace tamrin
