#include "core/file_io.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <unistd.h>
#include <csignal>

#include <gtest/gtest.h>
#include <fstream>
#include <system_error>

#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

class FileIoTest : public testing::Test {
 protected:
  ScratchDirectory scratch_{"file-io"};
  const fs::path dir_ = scratch_.path();

  // Every entry of the directory except `keep`.
  std::vector<std::string> strayEntries(const std::string& keep) const {
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename() != keep) stray.push_back(entry.path().filename());
    }
    return stray;
  }
};

mode_t modeOf(const fs::path& path) {
  struct stat info;
  EXPECT_EQ(stat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

TEST_F(FileIoTest, ReadFileReturnsEveryByte) {
  std::string contents(200000, 'x');
  contents[5] = '\0';
  contents.back() = '\n';
  std::ofstream(dir_ / "f", std::ios::binary) << contents;
  EXPECT_EQ(readFile(dir_ / "f"), contents);
}

TEST_F(FileIoTest, ReadFileNamesThePathOnFailure) {
  try {
    readFile(dir_ / "missing");
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(error.what()).find((dir_ / "missing").string()), std::string::npos)
        << error.what();
  }
}

TEST_F(FileIoTest, WriteCreatesAndReplacesWithTheGivenModeDespiteTheUmask) {
  const fs::path path = dir_ / "policy.json";
  const mode_t previous = umask(0077);
  writeFileAtomically(path, "first", 0644);
  umask(previous);
  EXPECT_EQ(readFile(path), "first");
  EXPECT_EQ(modeOf(path), 0644u);

  writeFileAtomically(path, "", 0600);
  EXPECT_EQ(readFile(path), "");
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_TRUE(strayEntries("policy.json").empty());
}

TEST_F(FileIoTest, WriteReplacesTheInodeSoOpenReadersKeepTheOldText) {
  const fs::path path = dir_ / "f";
  writeFileAtomically(path, "old", 0600);
  std::ifstream reader(path);
  writeFileAtomically(path, "new", 0600);
  std::string seen;
  reader >> seen;
  EXPECT_EQ(seen, "old");
  EXPECT_EQ(readFile(path), "new");
}

TEST_F(FileIoTest, FailedRenameRemovesTheTemporaryFile) {
  // A non-empty directory cannot be replaced by a file.
  const fs::path path = dir_ / "target";
  fs::create_directory(path);
  std::ofstream(path / "inside") << "keep";
  try {
    writeFileAtomically(path, "text", 0600);
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos) << error.what();
  }
  EXPECT_TRUE(strayEntries("target").empty());
  EXPECT_EQ(readFile(path / "inside"), "keep");
}

TEST_F(FileIoTest, WriteIntoAMissingDirectoryFailsNamingThePath) {
  const fs::path path = dir_ / "absent" / "f";
  try {
    writeFileAtomically(path, "text", 0600);
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos) << error.what();
  }
}

TEST_F(FileIoTest, OwnerIsAppliedBeforeTheFileAppears) {
  if (geteuid() != 0) {
    if (const char* ci = getenv("CI"); ci && std::string(ci) == "true") {
      FAIL() << "changing a file's owner needs root";
    }
    GTEST_SKIP() << "changing a file's owner needs root";
  }
  const fs::path path = dir_ / "hosts";
  writeFileAtomically(path, "text", 02640, FileOwner{.uid = 4321, .gid = 8765});
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 4321u);
  EXPECT_EQ(info.st_gid, 8765u);
  EXPECT_EQ(info.st_mode & 07777, 02640u);  // set-group-ID survives the owner change
  EXPECT_EQ(readFile(path), "text");
}

}  // namespace
}  // namespace tamrin

namespace tamrin {
namespace {

// A writer killed at any moment leaves the old or the new content, never a mix.
TEST_F(FileIoTest, AWriterKilledMidwayLeavesTheOldOrTheNewFile) {
  const fs::path target = dir_ / "policy.json";
  const std::string first(64 * 1024, 'a');
  const std::string second(96 * 1024, 'b');
  writeFileAtomically(target, first, 0600);
  for (int round = 0; round < 20; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) writeFileAtomically(target, i % 2 ? first : second, 0600);
    }
    usleep(static_cast<useconds_t>(1000 + round * 700));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string content = readFile(target);
    EXPECT_TRUE(content == first || content == second)
        << "round " << round << ": " << content.size() << " bytes";
  }  // Whatever temporaries the kills left are recognised as ours, and only they go.
  std::ofstream(dir_ / ".policy.json.tmp-notours") << "x";
  removeStaleTemporaries(target);
  EXPECT_EQ(strayEntries("policy.json"), std::vector<std::string>{".policy.json.tmp-notours"});
}

TEST_F(FileIoTest, OnlyOurOwnStaleTemporariesAreRemoved) {
  const struct {
    const char* name;
    bool removed;
  } cases[] = {
      {".hosts.tmp-a1b2c3d4", true},        {".hosts.tmp-00000000", true},
      {".hosts.tmp-a1b2c3d", false},        {".hosts.tmp-a1b2c3d45", false},
      {".hosts.tmp-A1B2C3D4", false},       {"hosts.tmp-a1b2c3d4", false},
      {".hosts.tmp-a1b2-3d4", false},       {".hostsx.tmp-a1b2c3d4", false},
      {".policy.json.tmp-a1b2c3d4", false}, {"hosts", false},
  };
  for (const auto& c : cases) std::ofstream(dir_ / c.name) << "x";
  fs::create_directory(dir_ / ".hosts.tmp-dddddddd");                // not a file
  fs::create_symlink(dir_ / "hosts", dir_ / ".hosts.tmp-llllllll");  // not a file of its own
  EXPECT_EQ(removeStaleTemporaries(dir_ / "hosts"), 2u);
  for (const auto& c : cases) EXPECT_EQ(fs::exists(dir_ / c.name), !c.removed) << c.name;
  EXPECT_TRUE(fs::is_directory(dir_ / ".hosts.tmp-dddddddd"));
  EXPECT_TRUE(fs::is_symlink(dir_ / ".hosts.tmp-llllllll"));
}

}  // namespace
}  // namespace tamrin
