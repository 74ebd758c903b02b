#include "daemon/ipc/listener.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "core/daemon_client.h"
#include "core/tamrin_error.h"
#include "tests/support/request_frames.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// An exported object whose four operations all run one scripted handler.
class ScriptedService : public TamrinDaemonProtocol {
 public:
  using Handler = std::function<void(const std::string& selector,
                                     const std::optional<Data>& argument, Reply reply)>;

  void getStatus(Reply reply) override { handle(kGetStatusSelector, std::nullopt, reply); }
  void enableBlocking(const Data& configuration, Reply reply) override {
    handle(kEnableBlockingSelector, configuration, reply);
  }
  void updateConfiguration(const Data& configuration, Reply reply) override {
    handle(kUpdateConfigurationSelector, configuration, reply);
  }
  void prepareForRemoval(Reply reply) override {
    handle(kPrepareForRemovalSelector, std::nullopt, reply);
  }

  Handler handler = [](auto&, auto&, Reply reply) { reply(std::nullopt, std::nullopt); };
  std::atomic<int> calls{0};

 private:
  void handle(std::string_view selector, std::optional<Data> argument, const Reply& reply) {
    ++calls;
    handler(std::string(selector), argument, reply);
  }
};

std::size_t entriesIn(const char* directory) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory), {}));
}

class IpcListenerTest : public ::testing::Test {
 protected:
  void TearDown() override { listener_.reset(); }

  fs::path socketPath() const { return directory_ / "daemon.sock"; }

  void startListener(IpcListenerOptions options = {}) {
    options.socketPath = socketPath();
    listener_ = std::make_unique<IpcListener>(service_, options);
    listener_->resume();
    listener_->serveInBackground();
  }

  DaemonClient client() const {
    return DaemonClient({.socketPath = socketPath(), .expectedOwner = ::getuid()});
  }

  UniqueFd rawConnection() const {
    const sockaddr_un address = unixSocketAddress(socketPath());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
  }

  // Whether the server has taken every byte sent on `fd`.
  static bool listenerHasRead(int fd) {
    int unread = 0;
    return ::ioctl(fd, TIOCOUTQ, &unread) == 0 && unread == 0;
  }

  // Everything the server sends until it closes; "(still open)" when it does not within 5 s.
  static std::string readUntilClosed(int fd) {
    std::string received;
    const Deadline deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
      if (!waitForFd(fd, POLLIN, deadline)) return received + "(still open)";
      char buffer[4096];
      const ssize_t count = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (count > 0) received.append(buffer, static_cast<std::size_t>(count));
      if (count == 0 || (count < 0 && errno == ECONNRESET)) return received;
    }
  }

  ScratchDirectory scratch_{"ipc"};
  const fs::path directory_ = scratch_.path();
  ScriptedService service_;
  std::unique_ptr<IpcListener> listener_;
};

enum class Operation { status, enable, update, remove };

// What the client made of the reply: "ok", "status", or the error kind and message.
std::string outcome(const DaemonClient& client, Operation operation) {
  try {
    switch (operation) {
      case Operation::status:
        return client.status().blocked == true ? "status" : "other status";
      case Operation::enable:
        client.enableBlocking(TamrinConfiguration::standard());
        break;
      case Operation::update:
        client.updateConfiguration(TamrinConfiguration::standard());
        break;
      case Operation::remove:
        client.prepareForRemoval();
        break;
    }
    return "ok";
  } catch (const TamrinClientError& error) {
    const char* kinds[] = {"remote: ", "empty: ", "timeout: "};
    return kinds[static_cast<int>(error.kind())] + std::string(error.what());
  } catch (const DaemonConnectionError& error) {
    return "connection: " + std::string(error.what());
  }
}

TEST_F(IpcListenerTest, RepliesMeanWhatTheProtocolSays) {
  DaemonStatus blocked;
  blocked.blocked = true;
  const std::string status = encodeDaemonStatus(blocked);
  const std::string apostrophe =
      "Tamrin can\u2019t be removed during an active block. Try again when access returns.";
  const struct {
    Operation operation;
    std::optional<Data> data;
    std::optional<std::string> text;
    std::string expected;
  } cases[] = {
      {Operation::status, status, std::nullopt, "status"},
      {Operation::status, std::nullopt, std::nullopt, "empty: Tamrin returned an empty reply."},
      {Operation::status, status, "Blocking is not enabled.", "remote: Blocking is not enabled."},
      {Operation::status, std::nullopt, "", "remote: "},
      {Operation::enable, std::nullopt, std::nullopt, "ok"},
      {Operation::enable, "ignored", std::nullopt, "ok"},
      {Operation::enable, "x", "Blocking is already enabled.",
       "remote: Blocking is already enabled."},
      {Operation::update, std::nullopt, std::nullopt, "ok"},
      {Operation::update, std::nullopt, apostrophe, "remote: " + apostrophe},
      {Operation::remove, std::nullopt, std::nullopt, "ok"},
      {Operation::remove, "x", apostrophe, "remote: " + apostrophe},
  };
  startListener();
  const std::string configuration = encodeConfiguration(TamrinConfiguration::standard());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    std::optional<Data> received;
    service_.handler = [&](auto&, const std::optional<Data>& argument, Reply reply) {
      received = argument;
      reply(c.data, c.text);
    };
    EXPECT_EQ(outcome(client(), c.operation), c.expected) << "case " << i;
    const bool carriesConfiguration =
        c.operation == Operation::enable || c.operation == Operation::update;
    EXPECT_EQ(received, carriesConfiguration ? std::optional<Data>(configuration) : std::nullopt)
        << "case " << i;
  }
  EXPECT_EQ(service_.calls, static_cast<int>(std::size(cases)));
}

TEST_F(IpcListenerTest, PeersWhoMayNotChangeTheScheduleGetTheRefusalAndAreStillServedStatus) {
  const std::string refusal =
      "remote: Only root and members of the group tamrin can change Tamrin\u2019s schedule.";
  DaemonStatus blocked;
  blocked.blocked = true;
  service_.handler = [&](auto&, auto&, Reply reply) { reply(encodeDaemonStatus(blocked), {}); };
  // A non-member of a group that lists someone else, then a peer whose credentials are unknown.
  std::optional<PeerCredentials> peer = PeerCredentials{.uid = 1000, .gid = 1000, .supplementaryGroups = {27}};
  const AccountLookup accounts{
      .group = [](const std::string&) { return AccountGroup{.gid = 990, .members = {"bob"}}; },
      .userName = [](uid_t) { return std::string("alice"); },
  };
  IpcListenerOptions options;
  options.authorization = PeerAuthorization([&](int) { return peer; }, accounts);
  startListener(options);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(outcome(client(), Operation::status), "status") << round;
    EXPECT_EQ(outcome(client(), Operation::enable), refusal) << round;
    EXPECT_EQ(outcome(client(), Operation::update), refusal) << round;
    EXPECT_EQ(outcome(client(), Operation::remove), refusal) << round;
    peer.reset();
  }
  EXPECT_EQ(service_.calls, 2);
}

TEST_F(IpcListenerTest, TodaysBytesReachTheirOperation) {
  const std::string selectors[] = {
      std::string(kGetStatusSelector), std::string(kEnableBlockingSelector),
      std::string(kUpdateConfigurationSelector), std::string(kPrepareForRemovalSelector)};
  std::string called;
  std::optional<Data> received;
  service_.handler = [&](const std::string& selector, const std::optional<Data>& argument,
                         Reply reply) {
    called = selector;
    received = argument;
    reply("d", std::nullopt);
  };
  startListener();
  for (const RequestOnTheWire& wire : kRequestsOnTheWire) {
    const std::string expected = selectors[static_cast<int>(wire.operation)];
    called.clear();
    UniqueFd fd = rawConnection();
    ASSERT_EQ(::send(fd.get(), wire.bytes.data(), wire.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(wire.bytes.size()));
    // The reply "d" with no text: presence 1, length 1, "d", then presence 0.
    EXPECT_EQ(readUntilClosed(fd.get()), std::string("TMRN\1\0\0\0\7\1\0\0\0\1d\0", 16))
        << expected;
    EXPECT_EQ(called, expected);
    EXPECT_EQ(received, wire.argument) << expected;
  }
}

TEST_F(IpcListenerTest, EachRequestGetsExactlyOneReply) {
  const struct {
    const char* name;
    ScriptedService::Handler handler;
    std::string expected;
  } cases[] = {
      {"throws its own error",
       [](auto&, auto&, Reply) { throw TamrinError(TamrinError::Kind::noPolicy); },
       "remote: Blocking is not enabled."},
      {"throws something else", [](auto&, auto&, Reply) { throw 42; },
       "remote: The request failed for an unknown reason."},
      {"replies, then throws",
       [](auto&, auto&, Reply reply) {
         reply(std::nullopt, std::nullopt);
         throw std::runtime_error("late");
       },
       "ok"},
      {"replies twice",
       [](auto&, auto&, Reply reply) {
         reply(std::nullopt, "first");
         reply(std::nullopt, std::nullopt);
       },
       "remote: first"},
      {"replies with more than a frame holds",
       [](auto&, auto&, Reply reply) { reply(std::string(kMaxFrameBodySize, 'x'), std::nullopt); },
       "remote: IPC frame body is too large"},
      {"never replies", [](auto&, auto&, Reply) {},
       "connection: The Tamrin daemon closed the connection before replying."},
  };
  startListener();
  for (const auto& c : cases) {
    service_.handler = c.handler;
    EXPECT_EQ(outcome(client(), Operation::remove), c.expected) << c.name;
  }
}

TEST_F(IpcListenerTest, ReplyAfterTheClientLeftIsHarmless) {
  std::promise<void> clientGone;
  std::promise<void> replied;
  service_.handler = [&](auto&, auto&, Reply reply) {
    clientGone.get_future().wait();
    reply(std::string(64 * 1024, 'x'), std::nullopt);
    replied.set_value();
  };
  startListener();
  {
    UniqueFd fd = rawConnection();
    const std::string request = encodeRequestFrame({std::string(kGetStatusSelector), {}});
    ASSERT_EQ(::send(fd.get(), request.data(), request.size(), 0),
              static_cast<ssize_t>(request.size()));
    while (service_.calls == 0) std::this_thread::sleep_for(1ms);
  }
  clientGone.set_value();
  replied.get_future().wait();
  service_.handler = [](auto&, auto&, Reply reply) { reply(std::nullopt, std::nullopt); };
  EXPECT_EQ(outcome(client(), Operation::remove), "ok");
}

std::string headerFor(std::uint32_t size, char version = 1) {
  std::string bytes = std::string("TMRN") + version;
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(size >> shift));
  return bytes;
}

TEST_F(IpcListenerTest, BadInputIsDroppedWithoutReachingTheService) {
  std::string noise;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 300; ++i)
    noise.push_back(static_cast<char>((seed = seed * 1103515245 + 12345) >> 16));
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"random bytes", noise},
      {"random bytes after a good header", headerFor(40) + noise.substr(0, 40)},
      {"wrong magic", "TMRX" + headerFor(0).substr(4)},
      {"version 2", headerFor(0, 2)},
      {"4 GiB length", headerFor(0xffffffff)},
      {"1 MiB + 1 length", headerFor(kMaxFrameBodySize + 1) + noise},
      {"truncated header", "TMR"},
      {"truncated body", encodeRequestFrame({"getStatusWithReply:", {}}).substr(0, 15)},
      {"nothing at all", ""},
      {"unknown selector", encodeRequestFrame({"getStatus:", {}})},
      {"status with an argument", encodeRequestFrame({"getStatusWithReply:", "{}"})},
      {"enable without an argument",
       encodeRequestFrame({std::string(kEnableBlockingSelector), {}})},
      {"update without an argument",
       encodeRequestFrame({std::string(kUpdateConfigurationSelector), {}})},
      {"removal with an argument",
       encodeRequestFrame({std::string(kPrepareForRemovalSelector), ""})},
      {"selector in other case", encodeRequestFrame({"GetStatusWithReply:", {}})},
      {"selector with a trailing NUL",
       encodeRequestFrame({std::string(kGetStatusSelector) + '\0', {}})},
      {"empty selector", encodeRequestFrame({"", {}})},
  };
  startListener({.readTimeout = 300ms});
  for (const auto& c : cases) {
    UniqueFd fd = rawConnection();
    ASSERT_EQ(::send(fd.get(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()))
        << c.name;
    EXPECT_EQ(readUntilClosed(fd.get()), "") << c.name;
  }
  EXPECT_EQ(service_.calls, 0);
  EXPECT_EQ(outcome(client(), Operation::remove), "ok");
}

TEST_F(IpcListenerTest, SilentClientsHoldNoWorker) {
  startListener({.maxWorkers = 2});
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 40; ++i) silent.push_back(rawConnection());
  EXPECT_EQ(outcome(client(), Operation::remove), "ok");
  EXPECT_EQ(outcome(client(), Operation::update), "ok");
}

TEST_F(IpcListenerTest, ClientsThatNeverReadTheirReplyDelayNoStatus) {
  // The handler replies under a lock of its own, as a service might: a reply call that waited
  // for its client would hold up every other request behind that lock.
  auto serviceLock = std::make_shared<std::mutex>();
  const Data large(kMaxFrameBodySize - 64, 'x');
  service_.handler = [serviceLock, large](const std::string& selector, auto&, Reply reply) {
    std::lock_guard lock(*serviceLock);
    reply(selector == kGetStatusSelector ? encodeDaemonStatus({}) : large, std::nullopt);
  };
  startListener({.maxWorkers = 4});
  const std::string request = encodeRequestFrame({std::string(kPrepareForRemovalSelector), {}});
  std::vector<UniqueFd> deaf;
  for (int i = 0; i < 16; ++i) {  // four times as many as there are workers
    deaf.push_back(rawConnection());
    ::send(deaf.back().get(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  for (int i = 0; i < 10; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome(client(), Operation::status), "other status") << "call " << i;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "call " << i;
  }
}

TEST_F(IpcListenerTest, OldestIncompleteRequestsGoWhenBufferedBytesExceedTheBudget) {
  startListener({.maxBufferedRequestBytes = 256 * 1024});
  const std::string frame =
      encodeRequestFrame({std::string(kUpdateConfigurationSelector), std::string(200 * 1024, 'x')});
  const std::string half = frame.substr(0, 150 * 1024);
  UniqueFd oldest = rawConnection();
  ASSERT_EQ(::send(oldest.get(), half.data(), half.size(), MSG_NOSIGNAL), ssize_t(half.size()));
  while (listenerHasRead(oldest.get()) == false) std::this_thread::sleep_for(1ms);
  UniqueFd newer = rawConnection();
  ASSERT_EQ(::send(newer.get(), half.data(), half.size(), MSG_NOSIGNAL), ssize_t(half.size()));
  EXPECT_EQ(readUntilClosed(oldest.get()), "");
  const std::string rest = frame.substr(half.size());
  ASSERT_EQ(::send(newer.get(), rest.data(), rest.size(), MSG_NOSIGNAL), ssize_t(rest.size()));
  EXPECT_EQ(decodeReplyBody(readUntilClosed(newer.get()).substr(kFrameHeaderSize)), IpcReply{});
  EXPECT_EQ(service_.calls, 1);
}

TEST_F(IpcListenerTest, RepliesPastTheBufferedByteCapDropTheOldestAndNewClientsAreServed) {
  // The socket takes only part of each reply; the listener holds the rest. One remainder fits
  // the cap, two do not.
  const Data large(kMaxFrameBodySize - 64, 'x');
  const std::string whole = encodeReplyFrame(IpcReply{large, std::nullopt});
  std::atomic<int> replied{0};
  service_.handler = [&](auto&, auto&, Reply reply) {
    reply(large, std::nullopt);
    ++replied;
  };
  startListener({.maxBufferedReplyBytes = kMaxFrameBodySize});
  const std::string request = encodeRequestFrame({std::string(kPrepareForRemovalSelector), {}});
  UniqueFd deaf[2];
  for (int i = 0; i < 2; ++i) {  // in this order, each handed over before the next is asked
    deaf[i] = rawConnection();
    ASSERT_EQ(::send(deaf[i].get(), request.data(), request.size(), MSG_NOSIGNAL),
              ssize_t(request.size()));
    while (replied <= i) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(readUntilClosed(deaf[1].get()), whole) << "the newer reply was cut";
  const std::string oldest = readUntilClosed(deaf[0].get());
  EXPECT_LT(oldest.size(), whole.size()) << "the oldest reply was kept past the cap";
  EXPECT_EQ(oldest, whole.substr(0, oldest.size()));
  EXPECT_EQ(client().call(DaemonOperation::prepareForRemoval, std::nullopt), large);
}

TEST_F(IpcListenerTest, WorkersAreLimited) {
  std::mutex mutex;
  int inFlight = 0;
  int mostInFlight = 0;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  service_.handler = [&](auto&, auto&, Reply reply) {
    {
      std::lock_guard lock(mutex);
      mostInFlight = std::max(mostInFlight, ++inFlight);
    }
    released.wait();
    {
      std::lock_guard lock(mutex);
      --inFlight;
    }
    reply(std::nullopt, std::nullopt);
  };
  startListener({.maxWorkers = 3});
  std::vector<std::future<std::string>> results;
  for (int i = 0; i < 8; ++i) {
    results.push_back(
        std::async(std::launch::async, [&] { return outcome(client(), Operation::remove); }));
  }
  while (service_.calls < 3) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(service_.calls, 3);
  release.set_value();
  for (auto& result : results) EXPECT_EQ(result.get(), "ok");
  EXPECT_EQ(mostInFlight, 3);
  EXPECT_EQ(service_.calls, 8);
}

TEST_F(IpcListenerTest, FiveHundredConnectionsAtOnceLeakNothing) {
  // A sanitizer's runtime starts a helper thread with the first thread of the process; let
  // that happen before counting.
  std::thread([] {}).join();
  const std::size_t descriptors = entriesIn("/proc/self/fd");
  const std::size_t threads = entriesIn("/proc/self/task");
  startListener();
  {
    std::vector<UniqueFd> connections;
    for (int i = 0; i < 500; ++i) {
      connections.push_back(rawConnection());
      if (i % 5 == 0) ::send(connections.back().get(), "TMRN\1", 5, MSG_NOSIGNAL);
    }
    EXPECT_EQ(outcome(client(), Operation::remove), "ok");
  }
  EXPECT_EQ(outcome(client(), Operation::remove), "ok");
  listener_.reset();
  EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
  EXPECT_EQ(entriesIn("/proc/self/task"), threads);
  EXPECT_EQ(service_.calls, 2);
}

TEST_F(IpcListenerTest, ManyClientsUnderTheServiceLockAllGetTheirOwnReply) {
  constexpr int kClients = 50;
  constexpr int kRequests = 100;
  std::mutex serviceLock;
  int handled = 0;
  service_.handler = [&](auto&, const std::optional<Data>& argument, Reply reply) {
    std::lock_guard lock(serviceLock);
    ++handled;
    reply(argument, std::nullopt);
  };
  const std::size_t descriptors = entriesIn("/proc/self/fd");
  startListener();
  std::atomic<int> wrong{0};
  std::atomic<int> failed{0};
  {
    std::vector<std::jthread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        for (int r = 0; r < kRequests; ++r) {
          const std::string argument = std::to_string(c) + "/" + std::to_string(r);
          try {
            if (client().call(DaemonOperation::updateConfiguration, argument) != argument) ++wrong;
          } catch (const std::exception&) {
            ++failed;
          }
        }
      });
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(handled, kClients * kRequests);
  listener_.reset();
  EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
}

TEST_F(IpcListenerTest, SocketIsPublishedWithItsModesAndRemovedAfterwards) {
  const fs::path path = directory_ / "run/tamrin/daemon.sock";
  fs::create_directory(directory_ / "run");
  ::umask(077);
  {
    IpcListener listener(service_, {.socketPath = path});
    listener.resume();
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0666u);
    ASSERT_EQ(::stat(path.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    // A second listener replaces the first one's socket file, as after a crash.
    IpcListener restarted(service_, {.socketPath = path});
    EXPECT_NO_THROW(restarted.resume());
  }
  ::umask(022);
  EXPECT_FALSE(fs::exists(path));

  std::ofstream(path) << "not a socket";
  IpcListener listener(service_, {.socketPath = path});
  EXPECT_THROW(listener.resume(), std::system_error);
  EXPECT_TRUE(fs::is_regular_file(path));
}

}  // namespace
}  // namespace tamrin
