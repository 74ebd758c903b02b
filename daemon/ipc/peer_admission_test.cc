#include "daemon/ipc/peer_admission.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <vector>

#include "core/file_io.h"
#include "core/ipc_socket.h"
#include "daemon/ipc/file_digest.h"
#include "tests/support/scratch_directory.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace tamrin {
namespace {

const std::string kOtherDigest(64, 'a');

std::string ownDigest() { return sha256OfFile("/proc/self/exe"); }

TEST(PeerAdmissionTest, AdmitsOnlyPeersRunningAnAllowedExecutable) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd a(pair[0]), b(pair[1]);

  PeerAdmission allowingUs({kOtherDigest, ownDigest()});
  EXPECT_EQ(allowingUs.executableDigest(::getpid()), ownDigest());
  EXPECT_TRUE(allowingUs.admits(a.get()));
  EXPECT_TRUE(allowingUs.admits(a.get())) << "again, from the cache";

  PeerAdmission allowingOthers({kOtherDigest});
  EXPECT_FALSE(allowingOthers.admits(a.get()));

  int pipeEnds[2];
  ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
  UniqueFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
  EXPECT_FALSE(allowingUs.admits(readEnd.get())) << "not a socket";
}

TEST(PeerAdmissionTest, PeerThatHasExitedIsRefused) {
  std::string directory = (std::filesystem::temp_directory_path() / "tamrin-peer-XXXXXX").string();
  ASSERT_NE(::mkdtemp(directory.data()), nullptr);
  const std::filesystem::path path = std::filesystem::path(directory) / "s";
  const sockaddr_un address = unixSocketAddress(path);
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);

  // The child runs this very program, so only its exit can make it fail admission.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::_exit(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0
                                                                                            : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(connection);

  EXPECT_FALSE(PeerAdmission({ownDigest()}).admits(connection.get()));
  std::filesystem::remove_all(directory);
}

// A child of this very program, connected to a socket of ours and alive until killed.
struct ConnectedChild {
  pid_t pid = -1;
  UniqueFd ourEnd;
  ~ConnectedChild() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

void startConnectedChild(ConnectedChild& child, const std::filesystem::path& socketPath) {
  const sockaddr_un address = unixSocketAddress(socketPath);
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  child.pid = ::fork();
  ASSERT_GE(child.pid, 0);
  if (child.pid == 0) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) _exit(1);
    char byte;
    while (::read(fd, &byte, 1) != 0) {
    }
    ::_exit(0);
  }
  child.ourEnd = UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(child.ourEnd);
  ::unlink(socketPath.c_str());
}

TEST(PeerAdmissionTest, SizeAndLivenessDecideAroundTheHash) {
  const auto ownSize = static_cast<std::uint64_t>(std::filesystem::file_size("/proc/self/exe"));
  struct Case {
    const char* name;
    std::set<std::uint64_t> sealedSizes;
    bool peerDiesWhileHashed;  // its pid may name another process by the time the hash is done
    bool hashed;
    bool admitted;
  };
  const Case cases[] = {
      {"sealed size, alive", {1, ownSize}, false, true, true},
      {"size matches no sealed file", {1, ownSize + 1}, false, false, false},
      {"peer gone after the hash", {ownSize}, true, true, false},
  };
  ScratchDirectory scratch{"peer"};
  for (const Case& c : cases) {
    ConnectedChild child;
    startConnectedChild(child, scratch.path() / "s");
    bool hashed = false;
    PeerAdmission admission({ownDigest()}, c.sealedSizes, [&](int fd) {
      hashed = true;
      if (c.peerDiesWhileHashed) {
        ::kill(child.pid, SIGKILL);
        ::waitpid(child.pid, nullptr, 0);
        child.pid = -1;
      }
      return sha256OfDescriptor(fd);
    });
    EXPECT_EQ(admission.admits(child.ourEnd.get()), c.admitted) << c.name;
    EXPECT_EQ(hashed, c.hashed) << c.name;
  }
}

TEST(PeerAdmissionTest, ACachedDigestStillNeedsALivePeer) {
  ScratchDirectory scratch{"peer"};
  ConnectedChild child;
  startConnectedChild(child, scratch.path() / "s");
  int pidfd = -1;
  socklen_t size = sizeof pidfd;
  if (::getsockopt(child.ourEnd.get(), SOL_SOCKET, SO_PEERPIDFD, &pidfd, &size) != 0) {
    GTEST_SKIP() << "this kernel gives no pidfd of a socket's peer";
  }
  ::close(pidfd);
  int hashes = 0;
  bool alive = true;  // what the probe after opening the peer's executable finds
  PeerAdmission admission(
      {ownDigest()}, std::nullopt,
      [&](int fd) {
        ++hashes;
        return sha256OfDescriptor(fd);
      },
      [&](int) { return alive; });
  const struct {
    bool alive;
    bool admitted;
  } steps[] = {{true, true}, {false, false}, {true, true}};
  for (const auto& step : steps) {
    alive = step.alive;
    EXPECT_EQ(admission.admits(child.ourEnd.get()), step.admitted) << "alive=" << step.alive;
  }
  EXPECT_EQ(hashes, 1) << "the later decisions come from the cache";
}

TEST(PeerAdmissionTest, TheDigestCacheHoldsUpToItsBoundAndNoMore) {
  ScratchDirectory scratch{"digests"};
  std::vector<UniqueFd> files;
  for (std::size_t i = 0; i <= PeerAdmission::kMaxCachedDigests; ++i) {
    const std::filesystem::path path = scratch.path() / std::to_string(i);
    writeFileAtomically(path, std::to_string(i), 0644);
    files.emplace_back(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(files.back());
  }
  int hashes = 0;
  PeerAdmission admission({}, std::nullopt, [&](int fd) {
    ++hashes;
    ::lseek(fd, 0, SEEK_SET);
    return sha256OfDescriptor(fd);
  });
  const auto digestOf = [&](std::size_t i) { return admission.fileDigest(files[i].get()); };
  const int bound = static_cast<int>(PeerAdmission::kMaxCachedDigests);
  for (std::size_t i = 0; i < PeerAdmission::kMaxCachedDigests; ++i) digestOf(i);
  EXPECT_EQ(digestOf(0), sha256OfFile(scratch.path() / "0"));
  EXPECT_EQ(hashes, bound) << "a full cache answers for its first entry";
  digestOf(PeerAdmission::kMaxCachedDigests);
  EXPECT_EQ(hashes, bound + 1);
  digestOf(0);
  EXPECT_EQ(hashes, bound + 2) << "one entry past the bound was kept";
}

}  // namespace
}  // namespace tamrin
