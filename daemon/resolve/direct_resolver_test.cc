#include "daemon/resolve/direct_resolver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace tamrin {
namespace {

using std::chrono::milliseconds;

sockaddr_in loopback() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A DNS server on a loopback UDP port of its own, answering every query the same way.
class LoopbackResponder {
 public:
  enum class Mode { silent, refused, noSuchName, noData, records };

  explicit LoopbackResponder(Mode mode) : mode_(mode) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback();
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot bind a loopback UDP socket";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
  }
  ~LoopbackResponder() {
    thread_ = {};
    if (fd_ >= 0) ::close(fd_);
  }

  std::string servers() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  void serve(const std::stop_token& stop) {
    std::uint8_t query[512];
    while (!stop.stop_requested()) {
      pollfd fd{fd_, POLLIN, 0};
      if (::poll(&fd, 1, 20) <= 0) continue;
      sockaddr_in peer{};
      socklen_t length = sizeof peer;
      const ssize_t size =
          ::recvfrom(fd_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&peer), &length);
      if (size < 17 || mode_ == Mode::silent) continue;
      const std::string reply = replyTo(query, static_cast<std::size_t>(size));
      ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer), length);
    }
  }

  std::string replyTo(const std::uint8_t* query, std::size_t size) const {
    std::size_t end = 12;  // the question: its name, then type and class
    while (end < size && query[end] != 0) end += query[end] + 1;
    end += 5;
    if (end > size) return {};
    const std::uint16_t type = static_cast<std::uint16_t>(query[end - 4] << 8 | query[end - 3]);
    const int rcode = mode_ == Mode::refused ? 5 : mode_ == Mode::noSuchName ? 3 : 0;
    std::string reply(reinterpret_cast<const char*>(query), end);
    reply[2] = static_cast<char>(0x80 | (query[2] & 0x79));  // an answer, same opcode and RD
    reply[3] = static_cast<char>(0x80 | rcode);
    reply.replace(6, 6, std::string(6, '\0'));
    if (mode_ != Mode::records) return reply;
    // A: 192.0.2.1 (TTL 300) and 192.0.2.2 (TTL 60); AAAA: 2001:db8::1 (TTL 120).
    const auto record = [&](std::uint32_t ttl, std::string data) {
      reply += std::string("\xc0\x0c", 2);
      reply += static_cast<char>(type >> 8);
      reply += static_cast<char>(type & 0xff);
      reply += std::string("\x00\x01", 2);
      for (int shift = 24; shift >= 0; shift -= 8) reply += static_cast<char>(ttl >> shift);
      reply += static_cast<char>(data.size() >> 8);
      reply += static_cast<char>(data.size() & 0xff);
      reply += data;
      ++reply[7];
    };
    if (type == 1) {
      record(300, std::string("\xc0\x00\x02\x01", 4));
      record(60, std::string("\xc0\x00\x02\x02", 4));
    } else if (type == 28) {
      record(120, std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x01");
    }
    return reply;
  }

  const Mode mode_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::jthread thread_;
};

// Runs `work` on a thread with a stack of `bytes`: work that nests once per name overflows it.
void onSmallStack(std::size_t bytes, const std::function<void()>& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

std::vector<std::string> manyNames(std::size_t count, const std::string& suffix) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < count; ++i) names.push_back("n" + std::to_string(i) + suffix);
  return names;
}

DirectResolution resolveOnSmallStack(const std::vector<std::string>& names,
                                     const std::string& servers, milliseconds limit) {
  DnsResolverOptions options;
  options.servers = servers;
  options.tryTimeout = milliseconds(200);
  options.limit = limit;
  DirectResolution result;
  onSmallStack(512 * 1024, [&] { result = resolveDirectly(names, options); });
  return result;
}

// A port where nothing listens: every send may fail at once.
std::string closedPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = loopback();
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

TEST(DnsResolverTest, TenThousandNamesEndWithinTheLimitWhateverTheServerDoes) {
  const std::vector<std::string> names = manyNames(10000, ".example.test");
  struct Case {
    const char* name;
    LoopbackResponder::Mode mode;
    bool complete;
  } const cases[] = {
      {"silent", LoopbackResponder::Mode::silent, false},
      {"refusing", LoopbackResponder::Mode::refused, false},
      {"no such name", LoopbackResponder::Mode::noSuchName, true},
  };
  for (const Case& c : cases) {
    LoopbackResponder server(c.mode);
    // Generous: the limit is what ends a silent or refusing server's resolution.
    const milliseconds limit = c.complete ? milliseconds(60000) : milliseconds(1500);
    const auto start = std::chrono::steady_clock::now();
    const DirectResolution result = resolveOnSmallStack(names, server.servers(), limit);
    EXPECT_LT(std::chrono::steady_clock::now() - start, limit + milliseconds(5000)) << c.name;
    EXPECT_EQ(result.complete, c.complete) << c.name;
    EXPECT_TRUE(result.answers.empty()) << c.name;
  }
  const DirectResolution refused = resolveOnSmallStack(names, closedPort(), milliseconds(1500));
  EXPECT_FALSE(refused.complete);
}

TEST(DnsResolverTest, NamesFailedAtOnceDoNotNest) {
  // c-ares refuses .onion names inside ares_getaddrinfo itself, one after another.
  LoopbackResponder server(LoopbackResponder::Mode::silent);
  const DirectResolution result =
      resolveOnSmallStack(manyNames(10000, ".onion"), server.servers(), milliseconds(60000));
  EXPECT_TRUE(result.complete);
  EXPECT_TRUE(result.answers.empty());
}

TEST(DnsResolverTest, NoDataIsAnAnswerAndTheSmallestTtlWins) {
  LoopbackResponder empty(LoopbackResponder::Mode::noData);
  const DirectResolution none =
      resolveOnSmallStack({"mail-only.test"}, empty.servers(), milliseconds(5000));
  EXPECT_TRUE(none.complete) << "a name with other records only is answered, not failed";
  EXPECT_TRUE(none.answers.empty());

  LoopbackResponder records(LoopbackResponder::Mode::records);
  const DirectResolution some =
      resolveOnSmallStack({"site.test"}, records.servers(), milliseconds(5000));
  EXPECT_TRUE(some.complete);
  ASSERT_EQ(some.answers.size(), 1u);
  EXPECT_EQ(some.answers[0].ttl, 60u);
  std::vector<std::string> addresses = some.answers[0].addresses;
  std::sort(addresses.begin(), addresses.end());
  EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "2001:db8::1"}));
}

}  // namespace
}  // namespace tamrin
