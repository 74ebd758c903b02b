#include "core/daemon_client.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "core/ipc_frame.h"
#include "tests/support/request_frames.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Reads one whole request frame, blocking.
void readRequest(int fd) {
  FrameAssembler frame;
  char buffer[4096];
  while (!frame.complete()) {
    const ssize_t count = ::recv(fd, buffer, std::min(sizeof buffer, frame.bytesWanted()), 0);
    if (count <= 0) return;
    frame.append(std::string_view(buffer, static_cast<std::size_t>(count)));
  }
}

void sendBytes(int fd, const std::string& bytes) {
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// A server on a temporary socket that runs a script on the first connection it accepts.
class FakeDaemon {
 public:
  explicit FakeDaemon(std::function<void(int fd)> script) {
    const sockaddr_un address = unixSocketAddress(socketPath());
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(listener_.get(), 8);
    thread_ = std::jthread([this, script = std::move(script)] {
      UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (connection) script(connection.get());
    });
  }
  ~FakeDaemon() {
    ::shutdown(listener_.get(), SHUT_RDWR);  // ends an accept that is still waiting
    thread_.join();
  }

  fs::path directory() const { return directory_; }
  fs::path socketPath() const { return directory_ / "daemon.sock"; }
  DaemonClient client() const {
    return DaemonClient({.socketPath = socketPath(), .expectedOwner = ::getuid()});
  }

 private:
  ScratchDirectory scratch_{"client"};
  const fs::path directory_ = scratch_.path();
  UniqueFd listener_;
  std::jthread thread_;
};

// "ok", "data:<bytes>", or the kind of error and its message.
std::string outcome(const DaemonClient& client) {
  try {
    const std::optional<Data> data = client.call(DaemonOperation::getStatus, std::nullopt);
    return data ? "data:" + *data : "ok";
  } catch (const TamrinClientError& error) {
    return std::string(error.kind() == TamrinClientError::Kind::timeout ? "timeout: "
                                                                        : "client: ") +
           error.what();
  } catch (const DaemonConnectionError& error) {
    const char* kinds[] = {"not running: ", "refused: ", "closed: ", "malformed: "};
    return kinds[static_cast<int>(error.kind())] + std::string(error.what());
  }
}

TEST(DaemonClientTest, ConnectionFailuresSayWhatHappened) {
  const std::string replyFrame = encodeReplyFrame({.data = "{}", .text = std::nullopt});
  const struct {
    const char* name;
    std::function<void(int)> script;
    std::string expected;
  } cases[] = {
      {"closed unread", [](int) {}, "refused: The Tamrin daemon refused the connection."},
      {"closed after reading", [](int fd) { readRequest(fd); },
       "closed: The Tamrin daemon closed the connection before replying."},
      {"reply cut short",
       [&](int fd) {
         readRequest(fd);
         sendBytes(fd, replyFrame.substr(0, replyFrame.size() - 1));
       },
       "closed: The Tamrin daemon closed the connection before replying."},
      {"wrong magic",
       [&](int fd) {
         readRequest(fd);
         sendBytes(fd, "XMRN" + replyFrame.substr(4));
       },
       "malformed: The Tamrin daemon sent a malformed reply: IPC frame does not start with TMRN."},
      {"reply with a bad presence byte",
       [](int fd) {
         readRequest(fd);
         sendBytes(fd, std::string("TMRN\1\0\0\0\1\7", 10));
       },
       "malformed: The Tamrin daemon sent a malformed reply: IPC frame has an invalid presence "
       "byte."},
  };
  for (const auto& c : cases) {
    FakeDaemon daemon([&](int fd) {
      std::this_thread::sleep_for(20ms);  // let the request arrive first
      c.script(fd);
    });
    EXPECT_EQ(outcome(daemon.client()), c.expected) << c.name;
  }
}

TEST(DaemonClientTest, EachOperationSendsTodaysBytes) {
  for (const RequestOnTheWire& wire : kRequestsOnTheWire) {
    std::string received;
    {
      FakeDaemon daemon([&](int fd) {
        char buffer[256];
        while (received.size() < wire.bytes.size()) {
          const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
          if (count <= 0) break;
          received.append(buffer, static_cast<std::size_t>(count));
        }
        sendBytes(fd, encodeReplyFrame({}));
      });
      EXPECT_EQ(daemon.client().call(wire.operation, wire.argument), std::nullopt);
    }
    EXPECT_EQ(received, wire.bytes) << static_cast<int>(wire.operation);
  }
}

TEST(DaemonClientTest, AnArgumentTheOperationDoesNotTakeIsRefusedBeforeConnecting) {
  // No daemon listens here: a client that connected would fail with "not running".
  const DaemonClient client({.socketPath = "/nonexistent/daemon.sock"});
  EXPECT_THROW(client.call(DaemonOperation::getStatus, "{}"), std::invalid_argument);
  EXPECT_THROW(client.call(DaemonOperation::prepareForRemoval, ""), std::invalid_argument);
  EXPECT_THROW(client.call(DaemonOperation::enableBlocking, std::nullopt), std::invalid_argument);
  EXPECT_THROW(client.call(DaemonOperation::updateConfiguration, std::nullopt),
               std::invalid_argument);
  EXPECT_THROW(client.call(DaemonOperation::getStatus, std::nullopt), DaemonConnectionError);
}

TEST(DaemonClientTest, FirstOutcomeWins) {
  // The daemon replies without reading the request to its end, so closing then resets the
  // connection; the complete reply stands.
  FakeDaemon daemon([](int fd) {
    char partial[4];
    ::recv(fd, partial, sizeof partial, MSG_WAITALL);
    sendBytes(fd, encodeReplyFrame({.data = "reply", .text = std::nullopt}) + "trailing junk");
  });
  EXPECT_EQ(outcome(daemon.client()), "data:reply");
}

TEST(DaemonClientTest, SilentDaemonTimesOutAfterThreeSeconds) {
  FakeDaemon daemon([](int fd) {
    readRequest(fd);
    char ignored;
    ::recv(fd, &ignored, 1, 0);  // until the client gives up and closes
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(daemon.client()), "timeout: Tamrin did not reply within three seconds.");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 3s);
  EXPECT_LT(waited, 6s);
}

TEST(DaemonClientTest, OnlyAPrivilegedEndpointIsUsed) {
  FakeDaemon daemon([](int fd) {
    readRequest(fd);
    sendBytes(fd, encodeReplyFrame({}));
  });
  const std::string path = daemon.socketPath().string();
  const std::string directory = daemon.directory().string();
  const uid_t me = ::getuid();
  EXPECT_EQ(
      outcome(DaemonClient({.socketPath = daemon.directory() / "other.sock", .expectedOwner = me})),
      "not running: The Tamrin daemon is not running (" + directory +
          "/other.sock: No such file or directory).");
  EXPECT_EQ(outcome(DaemonClient({.socketPath = daemon.socketPath(), .expectedOwner = me + 1})),
            "not running: The Tamrin daemon is not running (" + path + ": not owned by uid " +
                std::to_string(me + 1) + ").");
  ASSERT_EQ(::chmod(directory.c_str(), 0777), 0);
  EXPECT_EQ(outcome(daemon.client()), "not running: The Tamrin daemon is not running (" +
                                          directory + ": writable by other users).");
  ASSERT_EQ(::chmod(directory.c_str(), 0755), 0);
  EXPECT_EQ(outcome(daemon.client()), "ok");

  // A socket file that nobody listens on any more.
  const fs::path stale = daemon.directory() / "stale.sock";
  const sockaddr_un address = unixSocketAddress(stale);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  fd.reset();
  EXPECT_EQ(outcome(DaemonClient({.socketPath = stale, .expectedOwner = me})),
            "not running: The Tamrin daemon is not running (" + stale.string() +
                ": Connection refused).");
}

}  // namespace
}  // namespace tamrin
