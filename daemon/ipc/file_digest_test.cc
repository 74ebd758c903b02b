#include "daemon/ipc/file_digest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/file_io.h"
#include "core/ipc_socket.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(FileDigestTest, DigestsOfWholeFilesAndOfTheirFirstBytes) {
  ScratchDirectory scratch{"digest"};
  std::string large;
  for (int i = 0; i < 100000; ++i) large.push_back(static_cast<char>('a' + i % 26));
  writeFileAtomically(scratch.path() / "abc", "abc", 0644);
  writeFileAtomically(scratch.path() / "large", large, 0644);
  writeFileAtomically(scratch.path() / "head", large.substr(0, 70000), 0644);
  const auto digestOf = [&](const char* name, std::uint64_t limit) {
    UniqueFd fd(::open((scratch.path() / name).c_str(), O_RDONLY | O_CLOEXEC));
    return sha256OfDescriptor(fd.get(), limit);
  };
  EXPECT_EQ(sha256OfFile(scratch.path() / "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digestOf("abc", 2), "fb8e20fc2e4c3f248c60c39bd652f3c1347298bb977b8b4d5903b85055620603");
  EXPECT_EQ(digestOf("abc", 0), kEmptyDigest);
  EXPECT_EQ(digestOf("large", 70000), sha256OfFile(scratch.path() / "head"))
      << "a limit past the first read";
  EXPECT_EQ(digestOf("large", 1 << 20), sha256OfFile(scratch.path() / "large"));
}

TEST(FileDigestTest, OnlyRegularFilesAreHashed) {
  ScratchDirectory scratch{"digest"};
  const fs::path fifo = scratch.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const fs::path& path : {fifo, scratch.path(), fs::path("/dev/null")}) {
    try {
      sha256OfFile(path);  // a FIFO without a writer must not be waited on
      ADD_FAILURE() << path << " was hashed";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), EINVAL) << path;
    }
  }
}

}  // namespace
}  // namespace tamrin
