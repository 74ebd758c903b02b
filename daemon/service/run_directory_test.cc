#include "daemon/service/run_directory.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "core/file_io.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

// Another account's user and group, for the directory and the entries it leaves there.
constexpr uid_t kOther = 65534;

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

void makeSocket(const fs::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

TEST(RunDirectoryTest, AForeignDirectoryBecomesOursAndWhatItHeldForUsIsReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "taking a directory over from another account needs root";
  ScratchDirectory scratch("run-directory");
  const fs::path run = scratch.path() / "tamrin";
  const mode_t previousMask = ::umask(0077);
  fs::create_directory(run);
  ASSERT_EQ(::chown(run.c_str(), kOther, kOther), 0);
  ASSERT_EQ(::chmod(run.c_str(), 0777), 0);
  ASSERT_EQ(::mkfifo((run / "suffixes").c_str(), 0666), 0);
  fs::create_directories(run / "daemon.lock" / "inside");
  writeFileAtomically(scratch.path() / "target", "not ours", 0644);
  fs::create_symlink(scratch.path() / "target", run / "pf-tokens");
  writeFileAtomically(run / "app.tamrin.daemon.sock", "not a socket", 0644);
  writeFileAtomically(run / "unrelated", "kept", 0644);

  claimRunDirectory(run, runDirectoryEntries());
  ::umask(previousMask);
  struct stat info {};
  ASSERT_EQ(::stat(run.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(info.st_gid, 0u);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  for (const char* name : {"suffixes", "daemon.lock", "pf-tokens", "app.tamrin.daemon.sock"}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(run / name))) << name;
  }
  EXPECT_EQ(readFile(run / "unrelated"), "kept");
  EXPECT_EQ(readFile(scratch.path() / "target"), "not ours");
  EXPECT_EQ(std::distance(fs::directory_iterator(run), fs::directory_iterator()), 1)
      << "the directory moved aside is gone too";

  // Our own entries stay; another account's regular file, or one with a second link, goes.
  writeFileAtomically(run / "suffixes", "example.com\n", 0644);
  makeSocket(run / "app.tamrin.daemon.sock");
  writeFileAtomically(run / "daemon.lock", "", 0644);
  ASSERT_EQ(::chown((run / "daemon.lock").c_str(), kOther, kOther), 0);
  writeFileAtomically(run / "pf-tokens", "", 0600);
  fs::create_hard_link(run / "pf-tokens", scratch.path() / "second-link");
  claimRunDirectory(run, runDirectoryEntries());
  EXPECT_EQ(readFile(run / "suffixes"), "example.com\n");
  EXPECT_TRUE(S_ISSOCK(modeOf(run / "app.tamrin.daemon.sock")));
  EXPECT_FALSE(fs::exists(run / "daemon.lock"));
  EXPECT_FALSE(fs::exists(run / "pf-tokens"));
}

TEST(RunDirectoryTest, MadeOrReplacedWithItsModeWhateverTheUmask) {
  ScratchDirectory scratch("run-directory");
  const fs::path run = scratch.path() / "tamrin";
  const mode_t previousMask = ::umask(0077);
  claimRunDirectory(run, runDirectoryEntries());
  EXPECT_EQ(modeOf(run) & 07777, 0755u);
  fs::remove(run);
  fs::create_symlink(scratch.path(), run);
  claimRunDirectory(run, runDirectoryEntries());
  ::umask(previousMask);
  EXPECT_TRUE(S_ISDIR(modeOf(run))) << "a link in its place is not followed but replaced";
  EXPECT_EQ(modeOf(run) & 07777, 0755u);
}

}  // namespace
}  // namespace tamrin
