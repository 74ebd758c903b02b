#include "core/in_place_rewrite.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/file_io.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

class InPlaceRewriteTest : public testing::Test {
 protected:
  struct stat prepare(const std::string& text) {
    writeFileAtomically(path_, text, 0644);
    struct stat info;
    EXPECT_EQ(::stat(path_.c_str(), &info), 0);
    return info;
  }

  ScratchDirectory scratch_{"in-place"};
  const fs::path path_ = scratch_.path() / "hosts";
};

TEST_F(InPlaceRewriteTest, TheNewTextIsWholeAndSyncedOnceBeforeItReturns) {
  const std::string user = "127.0.0.1\tlocalhost\n";
  const std::string block = "\n# BEGIN TAMRIN BLOCK\n0.0.0.0\ta.org\n# END TAMRIN BLOCK\n";
  const std::string longer = "\n# BEGIN TAMRIN BLOCK\n0.0.0.0\ta.org\n0.0.0.0\tb.org\n# END...\n";
  const struct {
    const char* name;
    std::string previous;
    std::string wanted;
    size_t kept;  // the user's part of `wanted`
  } cases[] = {
      {"block added", user, user + block, user.size()},
      {"block removed", user + block, user, user.size()},
      {"block grows", user + block, user + longer, user.size()},
      {"block shrinks", user + longer, user + block, user.size()},
      {"text after the block moves up", user + block + "tail\n", user + "tail\n" + block,
       user.size() + 5},
      {"everything differs", "x", "y\n", 2},
  };
  for (const auto& c : cases) {
    const struct stat before = prepare(c.previous);
    int syncs = 0;
    std::string synced;
    rewriteInPlace(path_, before, c.wanted, c.previous, c.kept, [&](int fd) {
      ++syncs;
      synced = readFile(path_);
      return ::fsync(fd);
    });
    EXPECT_EQ(syncs, 1) << c.name;
    EXPECT_EQ(synced, c.wanted) << c.name << ": the sync came before the text was complete";
    EXPECT_EQ(readFile(path_), c.wanted) << c.name;
    struct stat after;
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
  }
}

TEST_F(InPlaceRewriteTest, AFailedSyncWritesThePreviousTextBack) {
  const struct stat before = prepare("old text\n");
  int calls = 0;
  try {
    rewriteInPlace(path_, before, "old text\nnew line\n", "old text\n", 9, [&](int) {
      errno = EIO;
      return ++calls == 1 ? -1 : 0;
    });
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EIO);
    EXPECT_NE(std::string(error.what()).find(path_.string()), std::string::npos);
  }
  EXPECT_EQ(readFile(path_), "old text\n");
}

TEST_F(InPlaceRewriteTest, AFileReplacedSinceItWasReadIsNotWritten) {
  const struct stat before = prepare("read text\n");
  writeFileAtomically(path_, "someone else's text\n", 0644);  // a new inode
  EXPECT_THROW(rewriteInPlace(path_, before, "read text\nmore\n", "read text\n", 10),
               std::system_error);
  EXPECT_EQ(readFile(path_), "someone else's text\n");
}

// What the file held when a write first ran past RLIMIT_FSIZE, taken in the SIGXFSZ handler,
// which then lifts the limit so the rest of the rewrite runs unhindered.
char gAtFailure[256];
ssize_t gAtFailureLength = -1;
const char* gWatchedPath = nullptr;
struct rlimit gOriginalLimit;

void onFileTooLarge(int) {
  const int fd = ::open(gWatchedPath, O_RDONLY | O_CLOEXEC);
  gAtFailureLength = fd < 0 ? -1 : ::read(fd, gAtFailure, sizeof gAtFailure);
  ::close(fd);
  ::setrlimit(RLIMIT_FSIZE, &gOriginalLimit);
}

TEST_F(InPlaceRewriteTest, AWriteFailingPartWayAfterTheKeptTextLeavesOnlyAPrefixOfTheNewText) {
  // The texts differ from the first byte after the kept part; the old tail is longer than the
  // new one reaches before the write fails.
  const std::string user = "127.0.0.1\tlocalhost\n";
  const std::string previous = user + std::string(30, 'o');
  const std::string wanted = user + std::string(20, 'n');
  const struct stat before = prepare(previous);
  const std::string path = path_.string();
  gWatchedPath = path.c_str();
  gAtFailureLength = -1;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &gOriginalLimit), 0);
  ASSERT_GE(gOriginalLimit.rlim_cur, rlim_t{previous.size()});
  struct sigaction handler = {};
  struct sigaction saved = {};
  handler.sa_handler = onFileTooLarge;
  ASSERT_EQ(::sigaction(SIGXFSZ, &handler, &saved), 0);
  const struct rlimit limited = {user.size() + 15, gOriginalLimit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  try {
    rewriteInPlace(path_, before, wanted, previous, user.size());
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EFBIG);
  }
  ::setrlimit(RLIMIT_FSIZE, &gOriginalLimit);
  ::sigaction(SIGXFSZ, &saved, nullptr);
  ASSERT_GE(gAtFailureLength, 0) << "the write never ran past the limit";
  const std::string atFailure(gAtFailure, static_cast<size_t>(gAtFailureLength));
  EXPECT_EQ(atFailure, wanted.substr(0, atFailure.size()))
      << "old bytes were left behind the new ones";
  EXPECT_EQ(readFile(path_), previous);
}

}  // namespace
}  // namespace tamrin
