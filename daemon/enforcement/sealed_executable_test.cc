#include "daemon/enforcement/sealed_executable.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "core/tamrin_error.h"
#include "daemon/enforcement/system_command.h"
#include "daemon/ipc/file_digest.h"
#include "daemon/ipc/seal.h"

#include "tests/support/daemon_signals.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

class SealedExecutableTest : public ::testing::Test {
 protected:
  ScratchDirectory scratch_{"sealed-executable"};
  const fs::path bundle_ = scratch_.path() / "Tamrin.app";
  const fs::path tool_ = bundle_ / "libexec/tool";

  void SetUp() override {
    fs::create_directories(tool_.parent_path());
    fs::copy_file("/bin/sh", tool_);
  }
  void seal(const std::string& digest) const {
    fs::create_directories(bundle_ / "_CodeSignature");
    std::ofstream(bundle_ / kSealPath) << "sha256 " << digest << " bin/other\n"
                                       << "sha256 " << digest << " libexec/tool\n";
  }
};

TEST_F(SealedExecutableTest, RunsAfterTheFileLostItsModeAndWasRemoved) {
  const auto copy = SealedExecutable::copyOf(tool_);
  EXPECT_EQ(copy->digest(), sha256OfFile(tool_));
  fs::permissions(tool_, fs::perms::none);
  EXPECT_EQ(runSystemCommand(*copy, {"-c", "echo still here"}), "still here");
  fs::remove(tool_);
  EXPECT_EQ(runSystemCommand(*copy, {"-c", "echo $0 \"$1\"", "x", "a b"}), "x a b");
  try {
    runSystemCommand(*copy, {"-c", "exit 3"});
    ADD_FAILURE() << "no error";
  } catch (const TamrinError& error) {
    EXPECT_EQ(error.detail(), tool_.string() + " exited 3") << "named by the file it came from";
  }
  try {
    runSystemCommand(*copy, {"-c", "sleep 30"}, std::chrono::milliseconds(300));
    ADD_FAILURE() << "no error";
  } catch (const TamrinError& error) {
    EXPECT_EQ(error.detail(), tool_.string() + " did not finish within 300 milliseconds");
  }
}

TEST_F(SealedExecutableTest, TheCopyCannotBeChangedOrUnsealed) {
  const auto copy = SealedExecutable::copyOf(tool_);
  const int fd = copy->descriptor();
  const int seals = ::fcntl(fd, F_GET_SEALS);
  EXPECT_EQ(seals, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(::pwrite(fd, "x", 1, 0), -1);
  EXPECT_NE(::ftruncate(fd, 1), 0);
  EXPECT_EQ(::fcntl(fd, F_ADD_SEALS, 0), -1);
  EXPECT_EQ(errno, EPERM) << "the seals cannot change any more";
  std::ofstream(tool_, std::ios::trunc) << "#!/bin/sh\necho changed\n";
  EXPECT_EQ(runSystemCommand(*copy, {"-c", "echo original"}), "original");
}

TEST_F(SealedExecutableTest, ChildGetsNoOtherDescriptorsAndDefaultSignals) {
  const auto copy = SealedExecutable::copyOf(tool_);
  const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 3);
  std::string probe;
  for (const int fd : {leaked, copy->descriptor()}) {
    probe +=
        "[ -e /proc/self/fd/" + std::to_string(fd) + " ] && echo open " + std::to_string(fd) + "; ";
  }
  EXPECT_EQ(runSystemCommand(*copy, {"-c", probe + "echo done"}), "done");
  ::close(leaked);

  std::string pipeline, terminated;
  {
    const testing::DaemonSignals daemonSignals;
    try {
      pipeline = runSystemCommand(*copy, {"-c", "yes | head -c 4"});
      runSystemCommand(*copy, {"-c", "kill -TERM $$; echo survived"});
    } catch (const TamrinError& error) {
      terminated = error.detail();
    }
  }
  EXPECT_EQ(pipeline, "y\ny");
  EXPECT_EQ(terminated, tool_.string() + " killed by signal 15");
}

TEST_F(SealedExecutableTest, AScriptCannotRunFromItsCopyAndSaysSo) {
  const fs::path script = scratch_.path() / "script";
  std::ofstream(script) << "#!/bin/sh\necho hi\n";
  const auto copy = SealedExecutable::copyOf(script);
  EXPECT_THROW(runSystemCommand(*copy, {}), std::system_error);
  EXPECT_THROW(SealedExecutable::copyOf(scratch_.path() / "missing"), std::system_error);
  EXPECT_THROW(SealedExecutable::copyOf(scratch_.path()), std::system_error);
}

TEST_F(SealedExecutableTest, TheCopyMustHaveTheDigestTheSealLists) {
  EXPECT_EQ(verifiedSealedCopy(tool_, bundle_), nullptr) << "no seal";
  seal(sha256OfFile(tool_));
  const auto copy = verifiedSealedCopy(tool_, bundle_);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->digest(), sha256OfFile(tool_));
  EXPECT_EQ(verifiedSealedCopy(bundle_ / "libexec/../libexec/tool", bundle_)->digest(),
            copy->digest());
  EXPECT_EQ(verifiedSealedCopy(bundle_ / "bin/missing", bundle_), nullptr) << "not sealed";

  seal(std::string(64, '0'));
  try {
    verifiedSealedCopy(tool_, bundle_);
    ADD_FAILURE() << "no error";
  } catch (const DaemonStartupError& error) {
    EXPECT_EQ(error.status(), kSealedFileChangedStatus);
  }
}

}  // namespace
}  // namespace tamrin
