#include "daemon/ipc/reply_exchange.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

#include "core/ipc_frame.h"

namespace tamrin {
namespace {

// A connected pair: the daemon's end (non-blocking, with a small send buffer) and the client's.
struct SocketPair {
  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
    daemon.reset(fds[0]);
    client.reset(fds[1]);
    const int size = 4096;
    ::setsockopt(daemon.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }

  // Everything the client can read now, and whether the daemon's end has closed.
  std::pair<std::string, bool> drainClient() const {
    std::string received;
    char buffer[4096];
    for (;;) {
      const ssize_t count = ::recv(client.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (count <= 0) return {received, count == 0};
      received.append(buffer, static_cast<std::size_t>(count));
    }
  }

  UniqueFd daemon;
  UniqueFd client;
};

TEST(ReplyExchangeTest, AReplyThatFitsIsSentAndTheConnectionClosed) {
  SocketPair pair;
  std::vector<PendingReply> handedOver;
  ReplyExchange exchange(std::move(pair.daemon),
                         [&](PendingReply pending) { handedOver.push_back(std::move(pending)); });
  exchange.reply("{}", std::nullopt);
  exchange.reply(std::nullopt, "second");
  EXPECT_TRUE(handedOver.empty());
  EXPECT_EQ(pair.drainClient(),
            std::pair(encodeReplyFrame({.data = "{}", .text = std::nullopt}), true));
}

TEST(ReplyExchangeTest, WhatTheSocketDoesNotTakeIsHandedOverAndFinishedLater) {
  SocketPair pair;
  const std::string data(256 * 1024, 'x');
  const std::string frame = encodeReplyFrame({.data = data, .text = std::nullopt});
  std::optional<PendingReply> pending;
  ReplyExchange exchange(std::move(pair.daemon),
                         [&](PendingReply rest) { pending.emplace(std::move(rest)); });
  exchange.reply(data, std::nullopt);
  ASSERT_TRUE(pending.has_value());
  EXPECT_GT(pending->unsent(), 0u);
  EXPECT_LT(pending->unsent(), frame.size());

  // Until the client reads, the socket takes nothing more and send() returns at once.
  const std::size_t unsent = pending->unsent();
  EXPECT_EQ(pending->send(), PendingReply::Progress::blocked);
  EXPECT_EQ(pending->unsent(), unsent);

  std::string received;
  PendingReply::Progress progress = PendingReply::Progress::blocked;
  for (int turn = 0; turn < 10000 && progress == PendingReply::Progress::blocked; ++turn) {
    received += pair.drainClient().first;
    progress = pending->send();
  }
  EXPECT_EQ(progress, PendingReply::Progress::sent);
  EXPECT_EQ(pending->unsent(), 0u);
  pending.reset();
  const auto [rest, closed] = pair.drainClient();
  EXPECT_EQ(received + rest, frame);
  EXPECT_TRUE(closed);
}

TEST(ReplyExchangeTest, AClientThatLeftEndsTheReplyWithoutASignal) {
  // Gone before the reply: nothing is handed over (MSG_NOSIGNAL: no SIGPIPE ends the test).
  {
    SocketPair pair;
    pair.client.reset();
    bool handedOver = false;
    ReplyExchange exchange(std::move(pair.daemon), [&](PendingReply) { handedOver = true; });
    exchange.reply(std::string(64 * 1024, 'x'), std::nullopt);
    EXPECT_FALSE(handedOver);
  }
  // Gone while the rest waits: the next send fails instead of waiting for room.
  SocketPair pair;
  std::optional<PendingReply> pending;
  ReplyExchange exchange(std::move(pair.daemon),
                         [&](PendingReply rest) { pending.emplace(std::move(rest)); });
  exchange.reply(std::string(256 * 1024, 'x'), std::nullopt);
  ASSERT_TRUE(pending.has_value());
  EXPECT_EQ(pending->send(), PendingReply::Progress::blocked);
  pair.client.reset();
  EXPECT_EQ(pending->send(), PendingReply::Progress::failed);
}

}  // namespace
}  // namespace tamrin
